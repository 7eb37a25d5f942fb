// driver.cc - one run of a plug-in over an event source, as the reader
// drives it: globals, set-up, one loop call per event, end; the exit
// statuses and messages of korvel-replay; the progress bar.
#include <chrono>
#include <cstdio>

#include "event_util.h"
#include "standin.h"

namespace standin {
namespace {

// A one-line bar redrawn in place with '\r', at most ten times a second so
// that drawing costs nothing next to the plug-in's work.
class ProgressBar {
public:
    ProgressBar(FILE *out, bool on) : out_(out), on_(on) {}

    void update(long long events, double fraction, bool force = false) {
        if (!on_)
            return;
        auto now = std::chrono::steady_clock::now();
        if (!force && drawn_ && now - last_ < std::chrono::milliseconds(100))
            return;
        last_ = now;
        drawn_ = true;
        if (fraction < 0) {
            fprintf(out_, "\r%lld events", events);
        } else {
            const int width = 30;
            int full = static_cast<int>(fraction * width + 0.5);
            char bar[width + 1];
            for (int i = 0; i < width; i++)
                bar[i] = i < full ? '#' : '.';
            bar[width] = '\0';
            fprintf(out_, "\r[%s] %3d%%  %lld events", bar,
                    static_cast<int>(fraction * 100 + 0.5), events);
        }
        fflush(out_);
    }

    // End the bar's line so that the next message starts on its own.
    void finish() {
        if (on_ && drawn_) {
            fputc('\n', out_);
            fflush(out_);
        }
        drawn_ = false;
        on_ = false;
    }

private:
    FILE *out_;
    bool on_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point last_;
};

}  // namespace

void apply_globals(const RunHeader &header, const DriveOptions &opt) {
    nbunch = opt.nbunch ? *opt.nbunch : header.nbunch;
    outmode = opt.outmode ? *opt.outmode : header.outmode;
    set_dump_error(header.dump_error);
}

DriveResult drive(const Entries &entries, EventSource &source,
                  const DriveOptions &opt, FILE *diag) {
    DriveResult r;
    const char *prog = opt.program.c_str();
    RunHeader header;
    std::string error;
    if (!source.read_header(&header, &error)) {
        fprintf(diag, "%s\n", error.c_str());
        r.error = error;
        r.status = kExitBadInput;
        return r;
    }
    Run run(std::move(header));
    apply_globals(run.header(), opt);

    // The plug-in may keep pointers into argv (file names) for the whole
    // run, so the words live until the end of this function.
    std::vector<std::string> args;
    args.push_back(opt.program);
    args.insert(args.end(), opt.words.begin(), opt.words.end());
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    r.init_called = true;
    r.init_result = entries.init(static_cast<int>(args.size()), argv.data(), run.reader());
    if (r.init_result != 0) {
        fprintf(diag, "%s: zarn_user_init_2010 returned %d; no event was replayed\n",
                prog, r.init_result);
        r.status = kExitInitFailed;
        return r;
    }

    Cursor cursor;
    ProgressBar bar(diag, opt.progress);
    bar.update(0, source.progress(), true);
    for (;;) {
        const Event *ev = nullptr;
        int got = source.next(run, &ev, &error);
        if (got < 0) {
            // The events before stay processed and the run still ends
            // properly, so that the plug-in's files are complete.
            bar.finish();
            fprintf(diag, "%s\n", error.c_str());
            r.error = error;
            break;
        }
        if (got == 0)
            break;
        run.count_event();
        cursor.bind(run, *ev);
        if (entries.loop(cursor.get()) != 0)
            r.failed++;
        r.events++;
        bar.update(r.events, source.progress());
    }
    bar.update(r.events, source.progress(), true);
    bar.finish();
    cursor.unbind();

    entries.end(run.reader());
    r.end_called = true;
    if (!r.error.empty()) {
        fprintf(diag, "%s: run ended after %lld events because of the recording error\n",
                prog, r.events);
        r.status = kExitBadInput;
    } else {
        fprintf(diag, "%s: %lld events replayed, %lld failed (zarn_user_loop returned non-zero)\n",
                prog, r.events, r.failed);
        r.status = kExitOk;
    }
    return r;
}

}  // namespace standin
