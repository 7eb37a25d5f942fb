// host_release_test.cc - korvel-replay as a user meets it: --version and
// -h, --check of a whole recording, and the progress bar on a terminal
// that the plug-in prints to as well.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "replay_harness.h"

namespace {

const std::string kHeader =
    R"({"format":"korvel-recording","version":1,"channels":[{"name":"A"}]})";

std::string event_line(int id) {
    return R"({"id":)" + std::to_string(id) + R"(,"channels":{"A":{"value":1.5}}})";
}

std::string fake_plugin() {
#ifdef KORVEL_FAKE_PLUGIN_PATH
    return KORVEL_FAKE_PLUGIN_PATH;
#else
    return "";
#endif
}

TEST(ReplayRelease, VersionAndShortHelp) {
    ReplayResult v = replay_args({"--version"});
    EXPECT_EQ(0, v.status);
    EXPECT_EQ(std::string("korvel-replay ") + KORVEL_VERSION + "\n", v.out);
    EXPECT_EQ("", v.err);

    ReplayResult longer = replay_args({"--help"});
    ReplayResult shorter = replay_args({"-h"});
    EXPECT_EQ(0, shorter.status);
    EXPECT_EQ(longer.out, shorter.out);
    EXPECT_NE(std::string::npos, shorter.out.find("--check"));
}

// Every bad line is reported with its line number, the good ones are
// counted, and nothing runs: the plug-in is not even loaded (a path that
// does not exist would stop a run), and no output file appears.
TEST(ReplayRelease, CheckReportsEveryBadLineAndRunsNothing) {
    std::string dir = make_temp_dir();
    write_file(dir + "/run.jsonl",
               kHeader + "\n" + event_line(1) + "\n" + "{\"id\":2,\"colour\":1}\n" +  // unknown key
                   event_line(3) + "\n" + "not json\n" + "\n" + event_line(5) + "\n");
    ReplayResult r = replay_args({"--check", "run.jsonl", "--plugin", "/nonexistent.so"}, dir);
    EXPECT_EQ(2, r.status) << r.err;
    EXPECT_EQ("", r.out);
    EXPECT_EQ(0u, r.err.find("run.jsonl:3: ")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("\nrun.jsonl:5: ")) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("run.jsonl:2:")) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("run.jsonl:4:")) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("run.jsonl:7:")) << r.err;
    EXPECT_NE(std::string::npos,
              r.err.find("korvel-replay: 3 events checked, 2 lines with errors\n"))
        << r.err;
    EXPECT_FALSE(r.exists("user_out.txt"));

    write_file(dir + "/good.jsonl", kHeader + "\n" + event_line(1) + "\n" + event_line(2) + "\n");
    ReplayResult good = replay_args({"--check", "good.jsonl"}, dir);
    EXPECT_EQ(0, good.status) << good.err;
    EXPECT_EQ("korvel-replay: 2 events checked, no error found\n", good.err);

    // A bad header leaves nothing to check the events against.
    write_file(dir + "/bad.jsonl", "{\"format\":\"other\"}\n" + event_line(1) + "\n");
    ReplayResult bad = replay_args({"--check", "bad.jsonl"}, dir);
    EXPECT_EQ(2, bad.status);
    EXPECT_EQ(0u, bad.err.find("bad.jsonl:1: ")) << bad.err;

    EXPECT_EQ(2, replay_args({"--check", "--synthetic", "3"}, dir).status);
    EXPECT_EQ(2, replay_args({"--check"}, dir).status);
}

// ---- A run on a terminal ----

// What a terminal shows of `raw`, line by line, for the few controls the
// bar uses: '\r' goes to the start of the line, ESC [ K erases from the
// cursor to the end, '\n' ends the line; other bytes overwrite.
std::vector<std::string> terminal_lines(const std::string &raw) {
    std::vector<std::string> lines;
    std::string line;
    size_t col = 0;
    for (size_t i = 0; i < raw.size(); i++) {
        char c = raw[i];
        if (c == '\r') {
            col = 0;
        } else if (c == '\n') {
            lines.push_back(line);
            line.clear();
            col = 0;
        } else if (c == '\033' && raw.compare(i, 3, "\033[K") == 0) {
            line.resize(col);
            i += 2;
        } else {
            if (col < line.size())
                line[col] = c;
            else
                line.push_back(c);
            col++;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

// Run korvel-replay with standard output and error on one new terminal
// (a pseudo-terminal) and return everything it wrote there.
std::string run_on_terminal(const std::vector<std::string> &args, const std::string &dir) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return "no pseudo-terminal: " + std::string(strerror(errno));
    std::string slave = ptsname(master);
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        int fd = open(slave.c_str(), O_RDWR);
        if (fd < 0 || chdir(dir.c_str()) != 0)
            _exit(127);
        struct termios t;
        if (tcgetattr(fd, &t) == 0) {
            t.c_oflag &= ~static_cast<tcflag_t>(ONLCR);  // keep "\n" as written
            tcsetattr(fd, TCSANOW, &t);
        }
        dup2(fd, 0), dup2(fd, 1), dup2(fd, 2);
        std::vector<char *> argv;
        std::string prog = KORVEL_REPLAY_PATH;
        argv.push_back(&prog[0]);
        std::vector<std::string> copy = args;
        for (std::string &a : copy)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(prog.c_str(), argv.data());
        _exit(127);
    }
    std::string seen;
    char buf[4096];
    for (;;) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n > 0)
            seen.append(buf, static_cast<size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;  // EIO once the last holder of the terminal has closed it
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    return seen;
}

// On a terminal the bar steps aside for every line the plug-in prints: no
// line shows the bar and the plug-in's text together, and the plug-in's
// lines all arrive whole.
TEST(ReplayRelease, ProgressBarNeverSharesALineWithThePlugin) {
    if (fake_plugin().empty())
        GTEST_SKIP() << "the fake plug-in is not built";
    std::string dir = make_temp_dir();
    std::string rec = kHeader + "\n";
    for (int i = 1; i <= 40; i++)
        rec += event_line(i) + "\n";
    write_file(dir + "/run.jsonl", rec);
    std::string raw = run_on_terminal({"--progress", "--plugin", fake_plugin(), "run.jsonl"}, dir);
    ASSERT_NE(std::string::npos, raw.find("events replayed")) << raw;
    int loops = 0, bars = 0;
    for (const std::string &line : terminal_lines(raw)) {
        bool bar =
            line.find("] ") != std::string::npos && line.find(" events") != std::string::npos;
        bool plugin =
            line.find("FAKE") != std::string::npos || line.find("  A type=") != std::string::npos;
        EXPECT_FALSE(bar && plugin) << "one line holds both: " << line;
        if (line.rfind("FAKE loop id=", 0) == 0)
            loops++;
        bars += bar;
    }
    EXPECT_EQ(40, loops) << raw;
    EXPECT_GE(bars, 1) << raw;
}

}  // namespace
