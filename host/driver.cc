// driver.cc - one run of a plug-in over an event source, as the reader
// drives it: globals, set-up, one loop call per event, end; the checks of
// every output after the end; the exit statuses and messages of
// korvel-replay; the reading of a whole recording for --check.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "event_util.h"
#include "host_internal.h"

namespace standin {

void apply_globals(const RunHeader &header, const DriveOptions &opt) {
    nbunch = opt.nbunch ? *opt.nbunch : header.nbunch;
    outmode = opt.outmode ? *opt.outmode : header.outmode;
    set_dump_error(header.dump_error);
}

namespace {

int stop_requested(const DriveOptions &opt) {
    return opt.stop ? static_cast<int>(*opt.stop) : 0;
}

// The plug-in's argv: the program's name, the words, a null pointer. The
// plug-in may keep pointers into it (file names) for the whole run, so the
// caller keeps `args` alive until the end of the run.
std::vector<char *> plugin_argv(const DriveOptions &opt, std::vector<std::string> *args) {
    args->push_back(opt.program);
    args->insert(args->end(), opt.words.begin(), opt.words.end());
    std::vector<char *> argv;
    for (std::string &a : *args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return argv;
}

// The message when an image file of the plug-in would be the recording,
// "" when none is.
std::string image_onto_recording(const DriveOptions &opt, const std::vector<NamedOutput> &files) {
    if (opt.recording.empty() || files.empty())
        return std::string();
    const NamedOutput *o = output_onto_file(opt.recording, files);
    if (!o)
        return std::string();
    return opt.program + ": the plug-in's " + o->what + " " + o->path + " is the recording " +
           opt.recording + " itself; it would be written to while it is read";
}

// True, with the message, when an image of `ev` would be written onto the
// recording: the run ends before the event, as after a recording error.
bool image_onto_recording(const DriveOptions &opt, const ImageWords &images, const Run &run,
                          const Event &ev, ProgressBar *bar, FILE *diag, DriveResult *r) {
    if (!images.on || images.bin)
        return false;
    std::string error = image_onto_recording(opt, image_files(images, run, ev));
    if (error.empty())
        return false;
    bar->finish();
    fprintf(diag, "%s; event %u is not replayed\n", error.c_str(), ev.id);
    r->error = error;
    r->refused_output = true;
    return true;
}

// One loop call, counted; a row a stop cut short is noted.
void play_event(const Entries &entries, Run &run, const Event &ev, Cursor *cursor, DriveResult *r) {
    run.count_event();
    cursor->bind(run, ev);
    if (entries.loop(cursor->get()) != 0)
        r->failed++;
    r->events++;
    if (cursor->cut_by_stop())
        r->cut_event = ev.id;
}

// One loop call per event until the source ends, fails, or a signal asks
// to stop; the event in progress is always finished.
void replay_events(const Entries &entries, EventSource &source, Run &run, const DriveOptions &opt,
                   FILE *diag, DriveResult *r) {
    Cursor cursor;
    cursor.watch_stop(opt.stop);
    ImageWords images = image_words(opt.words);
    ProgressBar bar(diag, opt.progress);
    bar.update(0, source.progress(), true);
    std::string error;
    while ((r->stop_signal = stop_requested(opt)) == 0) {
        const Event *ev = nullptr;
        int got = source.next(run, &ev, &error);
        if (got < 0) {
            // The events before stay processed and the run still ends
            // properly, so that the plug-in's files are complete.
            bar.finish();
            fprintf(diag, "%s\n", error.c_str());
            r->error = error;
            break;
        }
        if (got == 0) {
            // The source gives up a long read when a signal asks to stop.
            r->stop_signal = stop_requested(opt);
            break;
        }
        for (const std::string &w : source.warnings()) {
            bar.clear();
            fprintf(diag, "%s\n", w.c_str());
        }
        if (image_onto_recording(opt, images, run, *ev, &bar, diag, r))
            break;
        play_event(entries, run, *ev, &cursor, r);
        bar.update(r->events, source.progress());
    }
    bar.update(r->events, source.progress(), true);
    bar.finish();
    r->stdout_error = bar.stdout_error();
    cursor.unbind();
}

// A failure text on one line, whatever the plug-in put into it.
std::string one_line(std::string text) {
    for (char &c : text)
        if (c == '\n' || c == '\r' || c == '\t')
            c = ' ';
    return text;
}

// What the plug-in's optional status query reports; "" when all is well.
std::string plugin_output_failure(const Entries &entries) {
    if (!entries.output_failure)
        return std::string();
    char what[1024];
    what[0] = '\0';
    int err = entries.output_failure(what, sizeof what);
    if (err == 0)
        return std::string();
    what[sizeof what - 1] = '\0';  // in case the plug-in did not end it
    std::string text = what[0] ? one_line(what) : std::string(strerror(err));
    return "an output of the plug-in failed: " + text;
}

// After the end entry point: every output that was not written whole.
// Standard output is flushed first, so that a full disk under it shows,
// and so does a closed pipe (the end's statistics may be the first write
// that meets it); when a closed pipe ended the run, its failed writes are
// no news.
void check_outputs(const Entries &entries, const DriveOptions &opt, DriveResult *r) {
    errno = 0;
    bool flushed = fflush(stdout) == 0 && r->stdout_error == 0;
    int err = r->stdout_error ? r->stdout_error : errno;
    if (r->stop_signal == 0 && (stop_requested(opt) == SIGPIPE || (!flushed && err == EPIPE)))
        r->stop_signal = SIGPIPE;
    std::string plugin = plugin_output_failure(entries);
    if (!plugin.empty())
        r->output_failures.push_back(plugin);
    if (!dump_failure().empty())
        r->output_failures.push_back("the XML description could not be written: " + dump_failure());
    std::string skipped = xml_onto_table(opt.words);
    if (!skipped.empty())
        r->output_failures.push_back(skipped);
    if ((!flushed || ferror(stdout)) && r->stop_signal != SIGPIPE)
        r->output_failures.push_back(
            std::string("standard output could not be written: ") +
            (!flushed && err != 0 ? strerror(err) : "a write failed during the run"));
}

// "N events replayed", and how many of them the plug-in could not write
// (its loop call failed: a reader query failed, the row is cut short).
std::string replayed_text(const DriveResult &r) {
    std::string text =
        std::to_string(r.events) + (r.events == 1 ? " event" : " events") + " replayed";
    if (r.failed > 0)
        text += "; the plug-in could not write " + std::to_string(r.failed) +
                " of them (zarn_user_loop returned non-zero)";
    return text;
}

// The last lines on `diag` and the exit status: a recording error or a
// signal decides it first, then an output failure.
void report_end(const char *prog, FILE *diag, DriveResult *r) {
    if (r->stop_signal != 0) {
        std::string why = r->stop_signal == SIGPIPE
                              ? std::string("output closed (SIGPIPE)")
                              : std::string("interrupted by ") + stop_signal_name(r->stop_signal);
        fprintf(diag, "%s: %s: run ended after %s\n", prog, why.c_str(), replayed_text(*r).c_str());
        if (r->cut_event)
            fprintf(diag,
                    "%s: event %u was still running: its row was cut short at the "
                    "channel in progress\n",
                    prog, *r->cut_event);
        r->status = 128 + r->stop_signal;
    } else if (!r->error.empty()) {
        fprintf(diag, "%s: run ended after %lld events because of the %s\n", prog, r->events,
                r->refused_output ? "image file onto the recording" : "recording error");
        r->status = kExitBadInput;
    } else {
        fprintf(diag, "%s: %s\n", prog, replayed_text(*r).c_str());
        r->status = r->output_failures.empty() ? kExitOk : kExitOutputFailed;
    }
    for (const std::string &f : r->output_failures)
        fprintf(diag, "%s: %s\n", prog, f.c_str());
}

// A signal asked to stop before set-up: said, with its status.
bool stopped_before_setup(const DriveOptions &opt, FILE *diag, DriveResult *r) {
    if ((r->stop_signal = stop_requested(opt)) == 0)
        return false;
    fprintf(diag, "%s: interrupted by %s before set-up; no event was replayed\n",
            opt.program.c_str(), stop_signal_name(r->stop_signal));
    r->status = 128 + r->stop_signal;
    return true;
}

// Nothing is run: `why` on `diag`, status 2.
void refuse_run(const std::string &why, FILE *diag, DriveResult *r) {
    fprintf(diag, "%s\n", why.c_str());
    r->error = why;
    r->status = kExitBadInput;
}

}  // namespace

DriveResult drive(const Entries &entries, EventSource &source, const DriveOptions &opt,
                  FILE *diag) {
    DriveResult r;
    const char *prog = opt.program.c_str();
    RunHeader header;
    std::string error;
    source.watch_stop(opt.stop);
    if (!source.read_header(&header, &error)) {
        if (!stopped_before_setup(opt, diag, &r))
            refuse_run(error, diag, &r);
        return r;
    }
    Run run(std::move(header));
    std::string onto = image_onto_recording(opt, bin_files(image_words(opt.words), run.header()));
    if (!onto.empty()) {
        refuse_run(onto + ". Nothing was run: choose another directory.", diag, &r);
        return r;
    }
    apply_globals(run.header(), opt);
    // Asked to stop before anything was written: the run is not started,
    // so no earlier output is replaced by an empty one.
    if (stopped_before_setup(opt, diag, &r))
        return r;
    std::vector<std::string> args;
    std::vector<char *> argv = plugin_argv(opt, &args);
    r.init_called = true;
    r.init_result = entries.init(static_cast<int>(args.size()), argv.data(), run.reader());
    if (r.init_result != 0) {
        fprintf(diag, "%s: zarn_user_init_2010 returned %d; no event was replayed\n", prog,
                r.init_result);
        r.status = kExitInitFailed;
        return r;
    }
    replay_events(entries, source, run, opt, diag, &r);
    entries.end(run.reader());
    r.end_called = true;
    check_outputs(entries, opt, &r);
    report_end(prog, diag, &r);
    return r;
}

int check_events(EventSource &source, const char *program, FILE *diag) {
    RunHeader header;
    std::string error;
    if (!source.read_header(&header, &error)) {
        fprintf(diag, "%s\n%s: the run header is not valid; the events were not read\n",
                error.c_str(), program);
        return kExitBadInput;
    }
    Run run(std::move(header));
    long long events = 0, errors = 0;
    for (;;) {
        const Event *ev = nullptr;
        int got = source.next(run, &ev, &error);
        for (const std::string &w : source.warnings())
            fprintf(diag, "%s\n", w.c_str());
        if (got == 0)
            break;
        if (got < 0) {
            fprintf(diag, "%s\n", error.c_str());
            errors++;
            // A read error leaves nothing more to read; a bad line is
            // behind us, so the next one is checked on its own.
            if (source.failed())
                break;
            continue;
        }
        run.count_event();
        events++;
    }
    if (errors == 0)
        fprintf(diag, "%s: %lld events checked, no error found\n", program, events);
    else
        fprintf(diag, "%s: %lld events checked, %lld lines with errors\n", program, events, errors);
    return errors == 0 ? kExitOk : kExitBadInput;
}

}  // namespace standin
