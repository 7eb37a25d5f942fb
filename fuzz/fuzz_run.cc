// fuzz_run.cc - arbitrary bytes turned into a whole run of the plug-in: a
// channel table (long names, sub-channels, any data-type code), events with
// every kind of channel data (negative and huge counts, images whose sizes
// disagree with their lengths) and option words, driven through init, loop
// and end. Every input starts from the load state of the plug-in (each run
// ends with korvel_state_reset) in one scratch directory that is emptied
// after each run. Only the run itself happens in the scratch directory:
// between inputs the fuzzer is back where it was started, so that relative
// corpus paths, -jobs logs and crash inputs stay where the user expects.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "korvel_state.h"
#include "standin.h"
#include "zarn_daq_user.h"

namespace {

// Bytes read front to back; past the end every read gives 0.
class Bytes {
  public:
    Bytes(const uint8_t *d, size_t n) : d_(d), n_(n) {}
    uint8_t u8() {
        return at_ < n_ ? d_[at_++] : 0;
    }
    uint32_t u32() {
        uint32_t v = 0;
        for (int k = 0; k < 4; k++)
            v = v << 8 | u8();
        return v;
    }
    int32_t i32() {
        return (int32_t)u32();
    }
    float f32() {
        uint32_t b = u32();
        float f;
        memcpy(&f, &b, sizeof f);
        return f;
    }
    bool flag() {
        return u8() & 1;
    }
    // A count that is small most of the time, sometimes extreme.
    int count(int small) {
        uint8_t k = u8();
        switch (k >> 5) {
        case 0: return INT_MIN + (k & 3);
        case 1: return INT_MAX - (k & 3);
        case 2: return -(int)(k & 31);
        default: return small > 0 ? (int)(k % (unsigned)(small + 1)) : 0;
        }
    }
    // A count the plug-in loops over: extreme when negative, at most 4096
    // when positive (INT_MAX items would only make a table of gigabytes).
    int loop_count(int small) {
        int v = count(small);
        return v > 4096 ? 4096 : v;
    }
    // A length the host may allocate: bounded, possibly negative.
    int bounded(int max) {
        int v = i32();
        if (v < 0)
            return v % 64;
        return v % (max + 1);
    }
    std::string text(size_t max, bool no_slash) {
        size_t len = u8();
        if (len & 0x80)
            len = (len & 0x7f) * 3;  // up to 381 characters
        if (len > max)
            len = max;
        std::string s;
        for (size_t k = 0; k < len; k++) {
            char c = (char)u8();
            if (c == 0 || (no_slash && c == '/'))
                c = 'x';
            s += c;
        }
        return s;
    }
    bool done() const {
        return at_ >= n_;
    }

  private:
    const uint8_t *d_;
    size_t n_;
    size_t at_ = 0;
};

// The scratch directory, the working directory of every run.
char g_scratch[] = "/tmp/korvel-fuzz-run.XXXXXX";

// What a run left in the scratch directory, named through the directory
// itself: nothing else is removed, wherever the working directory is.
void empty_scratch() {
    DIR *d = opendir(g_scratch);
    if (!d)
        return;
    while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
            unlinkat(dirfd(d), e->d_name, 0);
    closedir(d);
}

const char *const kWords[] = {"-out",     "-zerocheck", "-imbin",  "-evstat", "-nodump",
                              "-dumpall", "-nostat",    "-nonvn",  "-hdf5",   "-imdump",
                              "-xdump",   "-fti",       "out.txt", "x.xml",   "."};

std::vector<std::string> option_words(Bytes &b) {
    std::vector<std::string> w;
    int n = b.u8() % 10;
    for (int k = 0; k < n; k++) {
        uint8_t c = b.u8();
        if (c < 200)
            w.push_back(kWords[c % (sizeof kWords / sizeof *kWords)]);
        else
            w.push_back(b.text(40, true));  // file names stay in the directory
        if (w.back().empty())
            w.back() = "x";
    }
    // A word with '-' after -fti ends the process by design.
    for (size_t k = 0; k + 1 < w.size(); k++)
        if (w[k] == "-fti" && strchr(w[k + 1].c_str(), '-'))
            w[k + 1] = "A,B";
    return w;
}

void fill_image(Bytes &b, standin::Image &im) {
    im.bpp = b.count(4);
    im.width = b.count(16);
    im.height = b.count(16);
    // Always an explicit length: the host pads the pixels to it, and its
    // default (width * height * bpp) may be huge for these dimensions.
    im.len = b.bounded(4096);
    if (b.flag())
        im.size = b.count(512);
    int np = b.u8();
    for (int k = 0; k < np; k++)
        im.pixels.push_back(b.u8());
    im.nframe = b.loop_count(4);
    im.compr = b.count(2);
    im.fail = (b.u8() & 15) == 0;
    if (b.flag()) {
        im.header_set = b.u32();
        uint8_t raw[sizeof im.header];
        for (auto &c : raw)
            c = b.u8();
        memcpy(&im.header, raw, sizeof raw);
    }
}

void fill_data(Bytes &b, standin::ChannelData &cd) {
    if (b.flag())
        cd.type = b.count(9);
    cd.block.status = b.i32() % 4;
    cd.block.nchan = b.loop_count(4);
    cd.block.fail = (b.u8() & 15) == 0;
    cd.chan.status = (b.u8() & 7) == 0 ? b.i32() : 0;
    cd.chan.fail = (b.u8() & 15) == 0;
    cd.chan.null_name = (b.u8() & 15) == 0;
    if (b.flag())
        cd.chan.name = b.text(300, false);
    uint8_t what = b.u8();
    if (what & 1)
        cd.value = b.f32();
    if (what & 2) {
        std::vector<standin::Item> items;
        int n = b.u8() % 8;
        for (int k = 0; k < n; k++) {
            standin::Item it;
            if (b.flag())
                it.name = b.text(300, false);
            it.value = b.f32();
            items.push_back(it);
        }
        cd.items = items;
        if (b.flag())
            cd.count = b.loop_count(10);
    }
    if (what & 4) {
        int n = b.u8() % 4;
        for (int m = 0; m < n; m++) {
            standin::SpectMember sm;
            sm.fail = (b.u8() & 15) == 0;
            sm.start = b.f32();
            sm.inc = b.f32();
            sm.groups_inc = b.f32();
            sm.groups = b.loop_count(4);
            if (b.flag())
                sm.ndata = b.bounded(1024);
            int nv = b.u8() % 64;
            for (int k = 0; k < nv; k++)
                sm.values.push_back((b.u8() & 3) ? (float)(b.u8() & 3) : b.f32());
            if (b.flag()) {
                zarn_spect_statistics_2010 st{};
                uint8_t raw[sizeof st];
                for (auto &c : raw)
                    c = b.u8();
                memcpy(&st, raw, sizeof raw);
                sm.stat = st;
            }
            cd.members.push_back(sm);
        }
        if (b.flag())
            cd.nmemb = b.loop_count(6);
    }
    if (what & 8) {
        standin::Roi r;
        r.w = b.count(8);
        r.h = b.count(8);
        r.mean = b.f32();
        r.max = b.f32();
        r.sig = b.f32();
        r.cofm = b.f32();
        r.start1 = b.f32();
        r.inc1 = b.f32();
        r.ndata1 = b.bounded(1024);
        int n = b.u8() % 16;
        for (int k = 0; k < n; k++)
            r.data.push_back(b.f32());
        cd.roi = r;
    }
    if (what & 16) {
        standin::Image im;
        fill_image(b, im);
        cd.image = im;
    }
    if (what & 32) {
        standin::Eq eq;
        eq.type = b.count(12);
        int n = b.u8() % 8;
        for (int k = 0; k < n; k++)
            eq.values.push_back(b.f32());
        eq.fail = (b.u8() & 15) == 0;
        cd.eq = eq;
    }
}

// The scratch directory goes when the fuzzer exits normally.
void remove_scratch() {
    empty_scratch();
    rmdir(g_scratch);
}

// The directory the fuzzer was started in, to return to after each run.
int g_home = -1;

// The fuzzer's arguments with an absolute -artifact_prefix added when none
// is given: a crash inside a run happens in the scratch directory, and the
// crashing input must land where the fuzzer was started, not there.
std::vector<std::string> g_args;
std::vector<char *> g_argv;

void add_artifact_prefix(int *argc, char ***argv) {
    for (int i = 0; i < *argc; i++)
        if (strncmp((*argv)[i], "-artifact_prefix=", 17) == 0 ||
            strncmp((*argv)[i], "-exact_artifact_path=", 21) == 0)
            return;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd))
        abort();
    g_args.assign(*argv, *argv + *argc);
    g_args.push_back(std::string("-artifact_prefix=") + cwd + "/");
    for (std::string &a : g_args)
        g_argv.push_back(&a[0]);
    g_argv.push_back(nullptr);
    *argc = static_cast<int>(g_args.size());
    *argv = g_argv.data();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    g_home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g_home < 0 || !mkdtemp(g_scratch))
        abort();
    add_artifact_prefix(argc, argv);
    atexit(remove_scratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (chdir(g_scratch) != 0)
        abort();
    Bytes b(data, size);
    std::vector<std::string> words = option_words(b);

    standin::RunHeader h;
    int nch = b.u8() % 24;
    if (nch == 23)
        nch = 300 + b.u8();  // now and then a wide table
    for (int i = 0; i < nch; i++) {
        standin::Channel c;
        if ((b.u8() & 31) != 0)  // a missing name fails the set-up
            c.name = b.text(300, false);
        if (b.flag())
            c.sub = b.loop_count(8);  // also sizes the XML parameter table
        c.type = b.count(9);
        h.channels.push_back(c);
    }
    int nd = b.u8() % 4;
    for (int k = 0; k < nd; k++)
        h.descriptions.push_back({b.text(300, false), b.text(20, false), b.text(8, false)});
    if (b.flag())
        h.events = b.i32();
    h.empty_events = b.i32();
    h.nbunch = b.loop_count(200);
    h.outmode = b.u8() % 3;
    h.dump_error = (b.u8() & 7) == 0 ? b.i32() : 0;

    standin::Run run(h);
    standin::DriveOptions drive;
    standin::apply_globals(h, drive);
    std::vector<std::string> argv_s = {"fuzz_run"};
    argv_s.insert(argv_s.end(), words.begin(), words.end());
    std::vector<char *> argv;
    for (auto &s : argv_s)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);

    if (zarn_user_init_2010((int)argv_s.size(), argv.data(), run.reader()) == 0) {
        standin::Cursor cur;
        int nev = b.u8() % 6;
        for (int e = 0; e < nev && !b.done(); e++) {
            standin::Event ev;
            ev.id = b.u32();
            ev.type = b.count(8);
            ev.time.sec = b.u32();
            ev.time.usec = b.u32();
            ev.status = b.i32();
            if (b.flag())
                ev.mpulse = b.i32();
            ev.fail = (b.u8() & 15) == 0;
            int nc = b.u8() % 8;
            for (int k = 0; k < nc && nch > 0; k++) {
                const standin::Channel &c = h.channels[b.u8() % nch];
                fill_data(b, ev.add(c.text()));
            }
            if (b.flag())
                ev.image_block = standin::SideBlock{};
            run.count_event();
            cur.bind(run, ev);
            zarn_user_loop(cur.get());
        }
        cur.unbind();
        zarn_user_end_2010(run.reader());
        // The output status, with a text buffer of any size down to none.
        char what[64];
        korvel_output_failure(b.flag() ? what : nullptr, b.u8() % (sizeof what + 1));
    }
    korvel_state_reset();
    standin::set_dump_error(0);
    empty_scratch();
    if (fchdir(g_home) != 0)
        abort();
    return 0;
}
