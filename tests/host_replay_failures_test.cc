// host_replay_failures_test.cc - korvel-replay when a run cannot go as
// planned: words that would make the plug-in write onto the recording,
// outputs that fail (the plug-in's files, the XML description, standard
// output), signals and a closed standard output in the middle of a run.
// Signals are real: sent by the fake plug-in to its own process at a given
// event, or from here to a long synthetic run once it has replayed events.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "replay_harness.h"
#include "standin.h"

extern char **environ;

// The fake plug-in's entry points, compiled into this program as well.
int zarn_user_init_2010(int argc, char **argv, zarn_daq_reader_2010 *reader);
int zarn_user_loop(zarn_daq_getdata *data);
int zarn_user_end_2010(zarn_daq_reader_2010 *reader);
void zarn_user_help();

namespace {

[[maybe_unused]] std::string beside_replay(const std::string &name) {
    std::string replay = KORVEL_REPLAY_PATH;
    return replay.substr(0, replay.rfind('/')) + "/" + name;
}

std::string fake_plugin() {
#ifdef KORVEL_FAKE_PLUGIN_PATH
    return KORVEL_FAKE_PLUGIN_PATH;
#else
    return beside_replay("libkorvel-fake-plugin.so");
#endif
}

// The fake plug-in without korvel_output_failure.
std::string plain_plugin() {
#ifdef KORVEL_FAKE_PLAIN_PLUGIN_PATH
    return KORVEL_FAKE_PLAIN_PLUGIN_PATH;
#else
    return beside_replay("libkorvel-fake-plugin-plain.so");
#endif
}

const std::string kHeader =
    R"({"format":"korvel-recording","version":1,"channels":[{"name":"A"}]})";

// A recording of events 1..n with a value in A.
std::string events(int n) {
    std::string r = kHeader + "\n";
    for (int i = 1; i <= n; i++)
        r += R"({"id":)" + std::to_string(i) + R"(,"channels":{"A":{"value":1.5}}})" + "\n";
    return r;
}

ReplayResult run_fake(const std::string &recording, const std::vector<std::string> &words,
                      const std::string &plugin = fake_plugin()) {
    ReplayRun run;
    run.recording = recording;
    run.words = words;
    run.options = {"--plugin", plugin};
    return replay(run);
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

bool ends_with(const std::string &text, const std::string &end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The closing line of a complete run: "1 event replayed", "3 events
// replayed", and the loop calls that failed when there were any.
std::string ran(long long events, long long failed = 0) {
    std::string line = "korvel-replay: " + std::to_string(events) +
                       (events == 1 ? " event replayed" : " events replayed");
    if (failed > 0)
        line += "; the plug-in could not write " + std::to_string(failed) +
                " of them (zarn_user_loop returned non-zero)";
    return line + "\n";
}

// ---- A korvel-replay process with standard output and error of our own ----

struct Process {
    pid_t pid = -1;
    bool exited = false;  // set by finish()
    int code = -1;        // exit status when exited
    int signal = 0;       // the signal that ended it otherwise
};

// Start korvel-replay with `args` inside `dir`, its standard input on
// /dev/null and its standard output and error on `out_fd` and `err_fd`
// (the caller closes its own copies).
Process start_replay(const std::vector<std::string> &args, const std::string &dir, int out_fd,
                     int err_fd) {
    std::vector<std::string> argv_s{KORVEL_REPLAY_PATH};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argv_s)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
    posix_spawn_file_actions_adddup2(&fa, err_fd, 2);
    // The child runs in `dir`: change ours around the spawn, as the
    // harness does (tests run one at a time).
    char oldcwd[4096];
    if (!getcwd(oldcwd, sizeof oldcwd) || chdir(dir.c_str()) != 0)
        throw std::runtime_error("chdir failed");
    Process p;
    int rc = posix_spawn(&p.pid, argv[0], &fa, nullptr, argv.data(), environ);
    if (chdir(oldcwd) != 0)
        throw std::runtime_error("chdir back failed");
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        throw std::runtime_error("posix_spawn failed");
    return p;
}

void finish(Process *p) {
    int ws = 0;
    waitpid(p->pid, &ws, 0);
    p->exited = WIFEXITED(ws);
    p->code = p->exited ? WEXITSTATUS(ws) : -1;
    p->signal = WIFSIGNALED(ws) ? WTERMSIG(ws) : 0;
}

// A pipe whose ends are closed in korvel-replay once it has its copies.
void make_pipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
}

int open_file(const std::string &path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot open " + path);
    return fd;
}

std::string read_until_end(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    return s;
}

// Read the progress bar from `fd` until it shows at least one event
// replayed; "" when the stream ended first. The bar's lines end in
// "N events".
bool wait_for_replayed_events(int fd, std::string *seen) {
    char buf[512];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        seen->append(buf, static_cast<size_t>(n));
        size_t end = seen->rfind(" events");
        size_t start = end == std::string::npos ? end : seen->rfind(' ', end - 1);
        if (start != std::string::npos && atoll(seen->c_str() + start + 1) >= 1)
            return true;
    }
    return false;
}

// Event count of korvel-replay's last line "...: run ended after N events".
long long events_in_end_line(const std::string &err) {
    size_t at = err.rfind("run ended after ");
    return at == std::string::npos ? -1 : atoll(err.c_str() + at + 16);
}

// The lines of a table, each with its line end; a last piece without one
// is a line of its own.
std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    return lines;
}

// The table holds the header and exactly `rows` rows, each ended by its
// line end and with as many cells as the first.
void expect_complete_rows(const std::string &table, long long rows) {
    std::vector<std::string> lines = lines_of(table);
    ASSERT_EQ(static_cast<size_t>(rows + 1), lines.size());
    if (rows == 0)
        return;
    auto tabs = [](const std::string &l) { return std::count(l.begin(), l.end(), '\t'); };
    for (size_t i = 1; i < lines.size(); i++) {
        ASSERT_TRUE(ends_with(lines[i], "\n")) << "row " << i << " is cut";
        ASSERT_EQ(tabs(lines[1]), tabs(lines[i])) << "row " << i << ": " << lines[i];
    }
}

}  // namespace

// ---- Outputs onto the recording ----

// How the plug-in reads its words decides which files it writes; these
// mirror its rules one by one.
TEST(ReplayOutputs, PluginOutputsFollowThePluginsWordRules) {
    using Words = std::vector<std::string>;
    auto paths = [](const Words &w) {
        std::string s;
        for (const standin::NamedOutput &o : standin::plugin_outputs(w))
            s += std::string(o.what) + "=" + o.path + ";";
        return s;
    };
    const std::string table = "event table=./user_out.txt;";
    EXPECT_EQ(table, paths({}));
    EXPECT_EQ(table, paths({"-out"}));  // a trailing -out keeps the default
    EXPECT_EQ("event table=b;", paths({"-out", "a", "-out", "b"}));
    EXPECT_EQ("event table=-nodump;", paths({"-out", "-nodump"}));  // taken whatever it is
    EXPECT_EQ(table, paths({"-OUT", "t", "-out=t", "out"}));        // whole words only
    EXPECT_EQ("", paths({"-nodump", "-out", "t"}));
    EXPECT_EQ("event-ID file=./user_evids.txt;XML description=./user_descr.xml;",
              paths({"-nodump", "-evstat", "-xdump"}));
    EXPECT_EQ(table + "XML description=x.xml;", paths({"-xdump", "x.xml"}));
    // A word with '-' is no -xdump file: it is read as a word of its own.
    EXPECT_EQ(table + "XML description=./user_descr.xml;", paths({"-xdump", "my-file.xml"}));
    EXPECT_EQ("event table=t;XML description=./user_descr.xml;", paths({"-xdump", "-out", "t"}));
    EXPECT_EQ("event table=t;", paths({"-imdump", "-out", "t"}));
    EXPECT_EQ("event table=t;", paths({"-imdump", "images", "-out", "t"}));
    EXPECT_EQ("event table=-out;", paths({"-imdump", "x", "-out", "-out"}));
    EXPECT_EQ("event table=t;", paths({"-fti", "A;B", "-out", "t"}));
    EXPECT_EQ(table, paths({"-fti"}));
    // -fti followed by a word with '-' stops the plug-in before it writes.
    EXPECT_EQ("", paths({"-fti", "-out", "t"}));
}

// The plug-in opens its table for writing at set-up: a run whose words
// name the recording as an output is refused before anything is run, and
// the recording stays as it was.
TEST(ReplayOutputs, RecordingIsNeverAnOutput) {
    const std::string rec = events(2);
    const std::string tail =
        " itself; it would be overwritten while it is read. Nothing was run: choose another "
        "file.\n";
    struct Case {
        std::vector<std::string> words;
        std::string err;
    } cases[] = {
        {{"-out", "run.jsonl"}, "event table run.jsonl is the recording run.jsonl"},
        {{"-out", "./run.jsonl"}, "event table ./run.jsonl is the recording run.jsonl"},
        {{"-xdump", "-out", "run.jsonl"}, "event table run.jsonl is the recording run.jsonl"},
        {{"-nodump", "-xdump", "run.jsonl"},
         "XML description run.jsonl is the recording run.jsonl"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.words.back());
        ReplayResult r = replay(rec, c.words);
        EXPECT_EQ(2, r.status);
        EXPECT_EQ("korvel-replay: the plug-in's " + c.err + tail, r.err);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(rec, r.file("run.jsonl"));
    }
    // The default names, a hard link and a symbolic link are the same file.
    struct Named {
        std::string recording;
        std::vector<std::string> words;
        std::string link;  // a second name of the recording, made first
        std::string err;
    } named[] = {
        {"user_out.txt", {}, "", "event table ./user_out.txt is the recording user_out.txt"},
        {"user_evids.txt",
         {"-nodump", "-evstat"},
         "",
         "event-ID file ./user_evids.txt is the recording user_evids.txt"},
        {"user_descr.xml",
         {"-xdump"},
         "",
         "XML description ./user_descr.xml is the recording user_descr.xml"},
        {"run.jsonl", {}, "user_out.txt", "event table ./user_out.txt is the recording run.jsonl"},
        {"run.jsonl", {"-out", "t.txt"}, "t.txt", "event table t.txt is the recording run.jsonl"},
    };
    for (size_t k = 0; k < sizeof named / sizeof named[0]; k++) {
        const Named &c = named[k];
        SCOPED_TRACE(c.err);
        std::string dir = make_temp_dir();
        write_file(dir + "/" + c.recording, rec);
        if (k == 3) {
            ASSERT_EQ(0, link((dir + "/run.jsonl").c_str(), (dir + "/user_out.txt").c_str()));
        } else if (k == 4) {
            ASSERT_EQ(0, symlink("run.jsonl", (dir + "/t.txt").c_str()));
        }
        std::vector<std::string> args = {"--no-progress", c.recording, "--"};
        args.insert(args.end(), c.words.begin(), c.words.end());
        ReplayResult r = replay_args(args, dir);
        EXPECT_EQ(2, r.status);
        EXPECT_EQ("korvel-replay: the plug-in's " + c.err + tail, r.err);
        EXPECT_EQ(rec, read_file(dir + "/" + c.recording));
    }
}

// Words that name the recording without making it an output run as usual.
TEST(ReplayOutputs, WordsThatWriteElsewhereRun) {
    const std::string rec = events(2);
    // -nodump: no table at all. -out takes "-xdump" as its file, so
    // "run.jsonl" is a word of no option.
    for (const std::vector<std::string> &words :
         {std::vector<std::string>{"-nodump", "-out", "run.jsonl"},
          std::vector<std::string>{"-out", "-xdump", "run.jsonl"}}) {
        SCOPED_TRACE(words[0]);
        ReplayResult r = replay(rec, words);
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(rec, r.file("run.jsonl"));
    }
    ReplayResult r = replay(rec, {"-out", "-xdump", "run.jsonl"});
    EXPECT_TRUE(contains(r.file("-xdump"), "\n[NORMAL]2\t")) << r.file("-xdump");
}

// ---- Outputs that fail ----

TEST(ReplayOutputs, PluginReportedFailureExitsOne) {
    const std::string rec = events(1);
    const std::string prefix = "korvel-replay: an output of the plug-in failed: ";
    ReplayResult r = run_fake(rec, {"status=28:user_out.txt: No space left on device"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(ran(1) + prefix + "user_out.txt: No space left on device\n", r.err);

    // Without a text, the system's words for the error.
    r = run_fake(rec, {"status=5"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(ran(1) + prefix + "Input/output error\n", r.err);

    // One line, and no more than the buffer holds (1023 bytes and a NUL).
    r = run_fake(rec, {"status=28:a\nb\tc\rd"});
    EXPECT_EQ(ran(1) + prefix + "a b c d\n", r.err);
    r = run_fake(rec, {"status=28:" + std::string(3000, 'x')});
    EXPECT_EQ(ran(1) + prefix + std::string(1023, 'x') + "\n", r.err);

    // Zero is success.
    r = run_fake(rec, {"status=0:nothing"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(ran(1), r.err);

    // A plug-in without the query has nothing to report.
    r = run_fake(rec, {"status=28:x"}, plain_plugin());
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(ran(1), r.err);

    // A recording error keeps its status; the failure is still said.
    r = run_fake(rec + R"({"id":"x"})" + "\n", {"status=28:t.txt: full"});
    EXPECT_EQ(2, r.status);
    EXPECT_TRUE(ends_with(r.err, "recording error\n" + prefix + "t.txt: full\n")) << r.err;
}

TEST(ReplayOutputs, PluginLoaderFindsTheOptionalQuery) {
    standin::Plugin with, without;
    std::string err;
    ASSERT_TRUE(with.load(fake_plugin(), &err)) << err;
    ASSERT_TRUE(without.load(plain_plugin(), &err)) << err;
    EXPECT_NE(nullptr, with.entries().output_failure);
    EXPECT_EQ(nullptr, without.entries().output_failure);
}

// Standard output on a full device: the run goes on, its end says so and
// the status is 1; the same for --help.
TEST(ReplayOutputs, FullStandardOutputExitsOne) {
    const std::string full = "korvel-replay: standard output could not be written: No space left "
                             "on device\n";
    for (const std::string &plugin : {fake_plugin(), std::string(KORVEL_PLUGIN_PATH)}) {
        SCOPED_TRACE(plugin);
        std::string dir = make_temp_dir();
        write_file(dir + "/run.jsonl", events(3));
        int out = open("/dev/full", O_WRONLY | O_CLOEXEC);
        int err = open_file(dir + "/err.txt");
        Process p = start_replay({"--plugin", plugin, "--no-progress", "run.jsonl"}, dir, out, err);
        close(out);
        close(err);
        finish(&p);
        EXPECT_TRUE(p.exited);
        EXPECT_EQ(1, p.code);
        EXPECT_TRUE(ends_with(read_file(dir + "/err.txt"), ran(3) + full))
            << read_file(dir + "/err.txt");
    }
    std::string dir = make_temp_dir();
    int out = open("/dev/full", O_WRONLY | O_CLOEXEC);
    int err = open_file(dir + "/err.txt");
    Process p = start_replay({"--plugin", fake_plugin(), "--help"}, dir, out, err);
    close(out);
    close(err);
    finish(&p);
    EXPECT_EQ(1, p.code);
    EXPECT_EQ(full, read_file(dir + "/err.txt"));
}

// The XML description is written by the reader's function: its failure
// is named there and makes the status 1.
TEST(ReplayOutputs, XmlDescriptionFailureExitsOne) {
    struct Case {
        std::string file;
        std::string reason;
    } cases[] = {{"/dev/full", "No space left on device"},
                 {"missing/d.xml", "No such file or directory"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        ReplayResult r = replay(events(1), {"-xdump", c.file});
        EXPECT_EQ(1, r.status) << r.err;
        EXPECT_TRUE(contains(r.err, "dump_chan_desr: cannot write the XML description " + c.file +
                                        ": " + c.reason + "\n"))
            << r.err;
        EXPECT_TRUE(ends_with(r.err, ran(1) +
                                         "korvel-replay: the XML description could not be "
                                         "written: " +
                                         c.file + ": " + c.reason + "\n"))
            << r.err;
    }
    // A written one is no failure.
    ReplayResult r = replay(events(1), {"-xdump", "d.xml"});
    EXPECT_EQ(0, r.status) << r.err;
}

// ---- Recordings the reader cannot read ----

TEST(ReplayOutputs, DirectoryOrOddLinesAreNamed) {
    std::string dir = make_temp_dir();
    ReplayResult r = replay_args({"--plugin", fake_plugin(), "."}, dir);
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(".: is a directory, not a recording\n", r.err);

    r = run_fake(kHeader + "\n" + std::string("{\"id\":1,\0}", 10) + "\n", {});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(0u, r.err.find("run.jsonl:2: NUL byte at column 9 (a recording line is text)\n"))
        << r.err;

    // Short pixels are padded and said, not an error.
    r = run_fake(R"({"format":"korvel-recording","version":1,"channels":[{"name":"C","type":4}]})"
                 "\n"
                 R"({"id":1,"channels":{"C":{"image":{"width":2,"height":2,"pixels":"0102"}}}})"
                 "\n",
                 {});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("run.jsonl:2: warning: channels[\"C\"].image.pixels: 2 bytes, fewer than len 4; "
              "zero-padded\n" +
                  ran(1),
              r.err);
}

// ---- Signals ----

// The signals that end a run after the event in progress.
struct StopSignal {
    int number;
    const char *name;
};
const StopSignal kStopSignals[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};

// A signal during an event: the event is finished, the end entry point
// runs, and the status tells which signal it was.
TEST(ReplayInterrupts, SignalEndsTheRunAfterTheEventInProgress) {
    for (const StopSignal &s : kStopSignals) {
        SCOPED_TRACE(s.name);
        ReplayResult r = run_fake(events(5), {"out=o.txt", "raise=3:" + std::to_string(s.number)});
        EXPECT_EQ(128 + s.number, r.status);
        EXPECT_TRUE(contains(r.out, "FAKE loop id=3 ")) << r.out;
        EXPECT_FALSE(contains(r.out, "FAKE loop id=4 ")) << r.out;
        EXPECT_TRUE(ends_with(r.out, "FAKE end events=3 empty=0\n")) << r.out;
        EXPECT_EQ("event 1\nevent 2\nevent 3\nend\n", r.file("o.txt"));
        EXPECT_EQ(std::string("korvel-replay: interrupted by ") + s.name +
                      ": run ended after 3 events replayed\n",
                  r.err);
    }
}

// A second signal does not wait: the process ends by it, without the end
// entry point.
TEST(ReplayInterrupts, SecondSignalEndsAtOnce) {
    std::string dir = make_temp_dir();
    write_file(dir + "/run.jsonl", events(5));
    int out = open_file(dir + "/out.txt"), err = open_file(dir + "/err.txt");
    Process p = start_replay(
        {"--plugin", fake_plugin(), "--no-progress", "run.jsonl", "--", "raise=3:2", "raise=3:2"},
        dir, out, err);
    close(out);
    close(err);
    finish(&p);
    EXPECT_FALSE(p.exited);
    EXPECT_EQ(SIGINT, p.signal);
    EXPECT_FALSE(contains(read_file(dir + "/out.txt"), "FAKE end")) << read_file(dir + "/out.txt");
    EXPECT_FALSE(contains(read_file(dir + "/err.txt"), "run ended"));
}

// A signal before set-up starts nothing: an earlier table is not replaced
// by an empty one.
TEST(ReplayInterrupts, SignalBeforeSetUpStartsNothing) {
    std::istringstream in(events(2));
    standin::RecordingSource src(in, "run.jsonl");
    standin::Entries e;
    e.init = zarn_user_init_2010;
    e.loop = zarn_user_loop;
    e.end = zarn_user_end_2010;
    e.help = zarn_user_help;
    volatile std::sig_atomic_t stop = SIGINT;
    standin::DriveOptions opt;
    opt.stop = &stop;
    FILE *diag = tmpfile();
    ASSERT_NE(nullptr, diag);
    standin::DriveResult r = standin::drive(e, src, opt, diag);
    EXPECT_EQ(130, r.status);
    EXPECT_FALSE(r.init_called);
    EXPECT_FALSE(r.end_called);
    rewind(diag);
    char buf[256] = {};
    size_t n = fread(buf, 1, sizeof buf - 1, diag);
    fclose(diag);
    EXPECT_EQ("korvel-replay: interrupted by SIGINT before set-up; no event was replayed\n",
              std::string(buf, n));
}

// A real signal from outside during a long run of the real plug-in: every
// replayed event has its complete row in the table, the statistics are
// printed and the event-ID file is written.
TEST(ReplayInterrupts, SignalFromOutsideLeavesCompleteFiles) {
    for (const StopSignal &s : kStopSignals) {
        SCOPED_TRACE(s.name);
        std::string dir = make_temp_dir();
        int out = open_file(dir + "/out.txt");
        int err[2];
        make_pipe(err);
        Process p =
            start_replay({"--plugin", KORVEL_PLUGIN_PATH, "--progress", "--synthetic", "2147483647",
                          "--mix", "values=3,namevalue=1x2,spectrum=1x2x5", "--", "-evstat"},
                         dir, out, err[1]);
        close(out);
        close(err[1]);
        std::string seen;
        bool running = wait_for_replayed_events(err[0], &seen);
        kill(p.pid, s.number);
        seen += read_until_end(err[0]);
        close(err[0]);
        finish(&p);
        ASSERT_TRUE(running) << seen;
        EXPECT_TRUE(p.exited) << "ended by signal " << p.signal;
        EXPECT_EQ(128 + s.number, p.code);
        long long n = events_in_end_line(seen);
        EXPECT_TRUE(ends_with(seen, std::string("korvel-replay: interrupted by ") + s.name +
                                        ": run ended after " + std::to_string(n) +
                                        " events replayed\n"))
            << seen;
        EXPECT_GE(n, 1);
        expect_complete_rows(read_file(dir + "/user_out.txt"), n);
        EXPECT_TRUE(contains(read_file(dir + "/out.txt"), "READER FINISHED statistics:"));
        std::string ids = read_file(dir + "/user_evids.txt");
        EXPECT_EQ(0u, ids.find("Chan:SYN/")) << ids;
        EXPECT_TRUE(ends_with(ids, "\n")) << ids;
    }
}

// `korvel-replay ... | head -1`: the reader of standard output goes away
// after one line, the next write fails, and the run ends as after a
// signal, with 141. The output (far more than a pipe holds) cannot all be
// written before the pipe is closed, so the run is always cut short.
TEST(ReplayInterrupts, ClosedStandardOutputEndsTheRun) {
    struct Case {
        std::string plugin;
        std::vector<std::string> words;
        std::string first_line;
    } cases[] = {
        {fake_plugin(), {"out=o.txt"}, "FAKE init argc=2\n"},
        // The EqData channel makes the real plug-in print at every event.
        {KORVEL_PLUGIN_PATH, {"-evstat"}, "CHANNELS: 3\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.plugin);
        std::string dir = make_temp_dir();
        int out[2];
        make_pipe(out);
        int err = open_file(dir + "/err.txt");
        std::vector<std::string> args = {"--plugin",   c.plugin, "--no-progress", "--synthetic",
                                         "2147483647", "--mix",  "values=2,eq=1", "--"};
        args.insert(args.end(), c.words.begin(), c.words.end());
        Process p = start_replay(args, dir, out[1], err);
        close(out[1]);
        close(err);
        std::string first;
        char ch;
        while (read(out[0], &ch, 1) == 1 && (first += ch, ch != '\n')) {
        }
        close(out[0]);
        finish(&p);
        EXPECT_EQ(c.first_line, first);
        EXPECT_TRUE(p.exited) << "ended by signal " << p.signal;
        EXPECT_EQ(141, p.code);
        std::string e = read_file(dir + "/err.txt");
        long long n = events_in_end_line(e);
        EXPECT_EQ("korvel-replay: output closed (SIGPIPE): run ended after " + std::to_string(n) +
                      " events replayed\n",
                  e);
        if (c.plugin == fake_plugin()) {
            EXPECT_TRUE(ends_with(read_file(dir + "/o.txt"), "end\n"));
        } else {
            expect_complete_rows(read_file(dir + "/user_out.txt"), n);
            EXPECT_EQ(0u, read_file(dir + "/user_evids.txt").find("Chan:SYN/"));
        }
    }
}

// A standard output closed before the run: the first write is at the
// end, which still ends with 141.
TEST(ReplayInterrupts, StandardOutputClosedFromTheStart) {
    std::string dir = make_temp_dir();
    write_file(dir + "/run.jsonl", events(2));
    int out[2];
    make_pipe(out);
    close(out[0]);
    int err = open_file(dir + "/err.txt");
    Process p =
        start_replay({"--plugin", fake_plugin(), "--no-progress", "run.jsonl", "--", "out=o.txt"},
                     dir, out[1], err);
    close(out[1]);
    close(err);
    finish(&p);
    EXPECT_TRUE(p.exited) << "ended by signal " << p.signal;
    EXPECT_EQ(141, p.code);
    EXPECT_EQ("korvel-replay: output closed (SIGPIPE): run ended after 2 events replayed\n",
              read_file(dir + "/err.txt"));
    EXPECT_EQ("event 1\nevent 2\nend\n", read_file(dir + "/o.txt"));
}

// ---- Image files, file-size limits, long events ----

// The image files the words make the plug-in write are kept off the
// recording too: a .bin file of -imbin is known before the run (nothing is
// run), the file of a single image only once its event comes (the run ends
// before that event, the recording untouched either way).
TEST(ReplayOutputs, ImageFilesAreNeverTheRecording) {
    const std::string rec =
        R"({"format":"korvel-recording","version":1,"channels":[{"name":"CAM/A","type":4}]})"
        "\n"
        R"({"id":1,"channels":{"CAM/A":{"image":{"width":2,"height":1,"pixels":"0102"}}}})"
        "\n"
        R"({"id":2,"channels":{"CAM/A":{"image":{"width":2,"height":1,"pixels":"0304"}}}})"
        "\n";
    // Event 2 at time 0 (UTC): Thu Jan  1 00:00:00 1970, 0 ms.
    const std::string second = "im/CAM_A_2_Thu_Jan__1_00:00:00_1970_0.pgm";
    struct Case {
        std::string recording;
        std::vector<std::string> words;
        std::string err;
        bool ran;  // event 1 was replayed (its table and image exist)
    } cases[] = {
        {"im/CAM_A.bin",
         {"-imdump", "im", "-imbin"},
         "korvel-replay: the plug-in's image file im/CAM_A.bin is the recording im/CAM_A.bin "
         "itself; it would be written to while it is read. Nothing was run: choose another "
         "directory.\n",
         false},
        {second,
         {"-imdump", "im"},
         "korvel-replay: the plug-in's image file " + second + " is the recording " + second +
             " itself; it would be written to while it is read; event 2 is not replayed\n"
             "korvel-replay: run ended after 1 events because of the image file onto the "
             "recording\n",
         true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.recording);
        std::string dir = make_temp_dir();
        ASSERT_EQ(0, mkdir((dir + "/im").c_str(), 0755));
        write_file(dir + "/" + c.recording, rec);
        std::vector<std::string> args = {"--no-progress", c.recording, "--"};
        args.insert(args.end(), c.words.begin(), c.words.end());
        ReplayResult r = replay_args(args, dir);
        EXPECT_EQ(2, r.status);
        EXPECT_EQ(c.err, r.err);
        EXPECT_EQ(rec, read_file(dir + "/" + c.recording));
        EXPECT_EQ(c.ran, r.exists("user_out.txt"));
        EXPECT_EQ(c.ran, r.exists("im/CAM_A_1_Thu_Jan__1_00:00:00_1970_0.pgm"));
    }
}

// Under a file-size limit (ulimit -f) the write past it fails with EFBIG
// instead of killing the run with SIGXFSZ: the failure is named, the end of
// run still prints the statistics and writes the event-ID file, status 1.
TEST(ReplayOutputs, FileSizeLimitIsAFailureNotADeath) {
    std::string dir = make_temp_dir();
    std::string values;
    for (int k = 0; k < 20000; k++)
        values += k ? ",1" : "1";
    // All 20 000 values of the spectrum go into the row (-dumpall): far
    // more than the 16 KiB the table may grow to.
    write_file(dir + "/run.jsonl",
               R"({"format":"korvel-recording","version":1,"channels":[{"name":"S","type":3}]})"
               "\n"
               R"({"id":1,"channels":{"S":{"members":[{"values":[)" +
                   values + "]}]}}}\n" +
                   R"({"id":2,"channels":{"S":{"members":[{"values":[1]}]}}})" + "\n");
    int out = open_file(dir + "/out.txt"), err = open_file(dir + "/err.txt");
    struct rlimit old;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
    struct rlimit small = old;
    small.rlim_cur = 16384;  // only the child is spawned under it
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    Process p = start_replay(
        {"--plugin", KORVEL_PLUGIN_PATH, "--no-progress", "run.jsonl", "--", "-dumpall", "-evstat"},
        dir, out, err);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &old));
    close(out);
    close(err);
    finish(&p);
    EXPECT_TRUE(p.exited) << "ended by signal " << p.signal;
    EXPECT_EQ(1, p.code);
    std::string e = read_file(dir + "/err.txt");
    EXPECT_TRUE(contains(e, "korvel-replay: 2 events replayed\n")) << e;
    EXPECT_TRUE(contains(e, "korvel-replay: an output of the plug-in failed: event table file "
                            "./user_out.txt: File too large\n"))
        << e;
    EXPECT_EQ("Chan:S\t1,2\n", read_file(dir + "/user_evids.txt"));
    EXPECT_TRUE(contains(read_file(dir + "/out.txt"), "READER FINISHED statistics:"));
}

// One event that would take minutes (2000 spectra of 16 Mi zero values,
// each looked at value by value with -zerocheck): a signal ends it at its
// next channel once it has run half a second, the row cut short (no line
// end), and the end of run follows. The signal is sent a second after the
// event before it (5 such spectra, long enough for the progress bar to
// show it) was replayed, well inside the long one. Without the cut the run would go on for minutes;
// the test gives up on it after 60 s.
TEST(ReplayInterrupts, SignalEndsALongEventAtItsNextChannel) {
    std::string dir = make_temp_dir();
    std::string channels, entries, first;
    for (int i = 0; i < 2000; i++) {
        std::string name = "S" + std::to_string(i);
        channels += std::string(i ? "," : "") + R"({"name":")" + name + R"(","type":3})";
        entries +=
            std::string(i ? "," : "") + "\"" + name + R"(":{"members":[{"ndata":16777216}]})";
        if (i == 4)
            first = entries;
    }
    write_file(dir + "/run.jsonl", R"({"format":"korvel-recording","version":1,"channels":[)" +
                                       channels + "]}\n" + R"({"id":1,"channels":{)" + first +
                                       "}}\n" + R"({"id":2,"channels":{)" + entries + "}}\n" +
                                       R"({"id":3})" + "\n");
    int out = open_file(dir + "/out.txt");
    int err[2];
    make_pipe(err);
    Process p = start_replay(
        {"--plugin", KORVEL_PLUGIN_PATH, "--progress", "run.jsonl", "--", "-zerocheck"}, dir, out,
        err[1]);
    close(out);
    close(err[1]);
    std::string seen;
    bool running = wait_for_replayed_events(err[0], &seen);
    sleep(1);
    kill(p.pid, SIGTERM);
    int ws = 0;
    pid_t done = 0;
    for (int k = 0; k < 6000 && (done = waitpid(p.pid, &ws, WNOHANG)) == 0; k++)
        usleep(10000);
    if (done == 0) {
        kill(p.pid, SIGKILL);
        waitpid(p.pid, &ws, 0);
    }
    seen += read_until_end(err[0]);
    close(err[0]);
    ASSERT_TRUE(running) << seen;
    ASSERT_NE(0, done) << "the run did not end within 60 s of SIGTERM";
    ASSERT_TRUE(WIFEXITED(ws)) << "ended by signal " << WTERMSIG(ws);
    EXPECT_EQ(143, WEXITSTATUS(ws));
    EXPECT_TRUE(ends_with(seen, "korvel-replay: interrupted by SIGTERM: run ended after 2 events "
                                "replayed; the plug-in could not write 1 of them "
                                "(zarn_user_loop returned non-zero)\n"
                                "korvel-replay: event 2 was still running: its row was cut short "
                                "at the channel in progress\n"))
        << seen;
    std::vector<std::string> rows = lines_of(read_file(dir + "/user_out.txt"));
    ASSERT_EQ(3u, rows.size());
    EXPECT_TRUE(ends_with(rows[1], "\n"));
    EXPECT_FALSE(ends_with(rows[2], "\n"));
    std::string o = read_file(dir + "/out.txt");
    EXPECT_TRUE(contains(o, "zarn_user_loop(): failed to get Server Block info\n"))
        << o.substr(0, 300);
    EXPECT_TRUE(contains(o, "READER FINISHED statistics:"));
}

// "-imdump run-7/": the plug-in reads run-7/ as a word of its own and
// writes images into ./; korvel-replay says so before the run.
TEST(ReplayOutputs, WordsNotTakenAreWarnedOf) {
    ReplayResult r = run_fake(events(1), {"out=o.txt", "-imdump", "run-7/"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("korvel-replay: warning: \"-imdump run-7/\": the plug-in takes no directory or "
              "file name holding '-'; the word is read as a word of its own and the default "
              "is used\n" +
                  ran(1),
              r.err);
}
