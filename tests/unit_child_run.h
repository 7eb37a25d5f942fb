// unit_child_run.h - one event driven through the plug-in's entry points in
// a child process, for the unit tests that hand it events built by hand.
// A run leaves the plug-in's state behind, so each run gets a process of
// its own.
#ifndef KORVEL_UNIT_CHILD_RUN_H
#define KORVEL_UNIT_CHILD_RUN_H

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "standin.h"
#include "zarn_daq_user.h"

// gcov's hook that writes the coverage counts gathered so far. A weak
// reference does not pull it out of libgcov: it is present only in a
// --coverage build linked with -u __gcov_dump (scripts/coverage.sh), and
// null elsewhere.
extern "C" void __gcov_dump(void) __attribute__((weak));

// The whole content of a file ("" when it cannot be read).
inline std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// _exit() for a test child: it skips the exit handlers, where a coverage
// build writes its counts, so they are written first. What only a child
// reaches then counts as covered.
[[noreturn]] inline void child_exit(int status) {
    if (__gcov_dump)
        __gcov_dump();
    _exit(status);
}

// In a forked child: work in `dir` with standard output going to
// dir/stdout.txt; the child ends with 91 when the directory cannot be used.
inline void child_enter(const std::string &dir) {
    int out = chdir(dir.c_str()) == 0 ? open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644) : -1;
    if (out < 0 || dup2(out, 1) < 0)
        child_exit(91);
}

// In a forked child: set-up with argv "t" and `words` on `run` (the child
// ends with 92 when it fails), then the loop on `ev`.
inline void child_init_and_loop(standin::Run &run, std::vector<std::string> words,
                                const standin::Event &ev) {
    words.insert(words.begin(), "t");
    std::vector<char *> argv;
    for (auto &s : words)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);
    if (zarn_user_init_2010((int)words.size(), argv.data(), run.reader()) != 0)
        child_exit(92);
    standin::Cursor cur;
    run.count_event();
    cur.bind(run, ev);
    zarn_user_loop(cur.get());
    cur.unbind();
}

// In a child working in `dir`: set-up with argv "t" and `words` on a table
// of `channel`, the loop on `ev`, the end of the run; standard output goes
// to dir/stdout.txt. Returns the child's exit status (92: set-up failed,
// 91: the directory could not be used), or -1 when it did not exit.
inline int run_one_event_in_child(const std::string &dir, const standin::Channel &channel,
                                  const standin::Event &ev, std::vector<std::string> words) {
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        child_enter(dir);
        standin::RunHeader h;
        h.channels.push_back(channel);
        standin::Run run(h);
        child_init_and_loop(run, std::move(words), ev);
        zarn_user_end_2010(run.reader());
        fflush(stdout);
        child_exit(0);
    }
    int st = 0;
    if (pid < 0 || waitpid(pid, &st, 0) != pid || !WIFEXITED(st))
        return -1;
    return WEXITSTATUS(st);
}

#endif
