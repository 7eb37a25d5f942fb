// alloc_sweep.cc - allocation failures inside the plug-in. The plug-in's
// objects are linked with --wrap=malloc,calloc,realloc so that every
// allocation they make passes through the counters below. While armed (only
// around the entry-point calls), the N-th allocation fails. One child
// process per N runs a whole run (every data type, -xdump, -evstat, -fti,
// -imdump) in a scratch directory and must end normally, with the result
// code and messages its failure defines.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "replay_harness.h"
#include "unit_child_run.h"

extern "C" {
void *__real_malloc(size_t);
void *__real_calloc(size_t, size_t);
void *__real_realloc(void *, size_t);
}

namespace {

bool g_armed = false;
long g_count = 0;     // allocations seen while armed
long g_fail_at = -1;  // 1-based number of the allocation that fails
bool g_injected = false;

bool fail_now() {
    if (!g_armed)
        return false;
    if (++g_count == g_fail_at) {
        g_injected = true;
        return true;
    }
    return false;
}

}  // namespace

extern "C" {
void *__wrap_malloc(size_t n) {
    return fail_now() ? nullptr : __real_malloc(n);
}
void *__wrap_calloc(size_t n, size_t s) {
    return fail_now() ? nullptr : __real_calloc(n, s);
}
void *__wrap_realloc(void *p, size_t n) {
    return fail_now() ? nullptr : __real_realloc(p, n);
}
}

namespace {

struct Armed {
    Armed() {
        g_armed = true;
    }
    ~Armed() {
        g_armed = false;
    }
};

// What a child reports back through a small file in the scratch directory.
struct Outcome {
    int init_rc = 0;
    int end_rc = 0;
    long allocations = 0;
    bool injected = false;
    std::string out;  // the plug-in's standard output
};

std::string read_all(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Run the sample recording through the plug-in with allocation fail_at
// failing (0: none) in a child process. Returns the child's wait status.
int run_child(const std::string &dir, long fail_at, const std::vector<std::string> &words,
              bool null_reader, Outcome *o) {
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0)
            child_exit(90);
        mkdir("imgs", 0755);
        int fdout = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int fderr = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fdout < 0 || fderr < 0 || dup2(fdout, 1) < 0 || dup2(fderr, 2) < 0)
            child_exit(91);
        std::ifstream in(KORVEL_SAMPLE_RECORDING, std::ios::binary);
        standin::RecordingSource src(in, "sample.jsonl");
        standin::RunHeader h;
        std::string err;
        if (!src.read_header(&h, &err))
            child_exit(92);
        standin::Run run(h);
        standin::apply_globals(h, standin::DriveOptions{});
        std::vector<std::string> argv_s = {"korvel-replay"};
        argv_s.insert(argv_s.end(), words.begin(), words.end());
        std::vector<char *> argv;
        for (auto &s : argv_s)
            argv.push_back(&s[0]);
        argv.push_back(nullptr);
        g_fail_at = fail_at;
        int init_rc, end_rc = 0;
        {
            Armed a;
            init_rc = zarn_user_init_2010((int)argv_s.size(), argv.data(),
                                          null_reader ? nullptr : run.reader());
        }
        if (init_rc == 0) {
            standin::Cursor cur;
            const standin::Event *ev = nullptr;
            while (src.next(run, &ev, &err) == 1) {
                run.count_event();
                cur.bind(run, *ev);
                Armed a;
                zarn_user_loop(cur.get());
            }
            cur.unbind();
            Armed a;
            end_rc = zarn_user_end_2010(run.reader());
        }
        fflush(stdout);
        FILE *r = fopen("result.txt", "w");
        if (!r)
            child_exit(93);
        fprintf(r, "%d %d %ld %d\n", init_rc, end_rc, g_count, g_injected ? 1 : 0);
        fclose(r);
        child_exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::istringstream res(read_all(dir + "/result.txt"));
    int inj = 0;
    res >> o->init_rc >> o->end_rc >> o->allocations >> inj;
    o->injected = inj != 0;
    o->out = read_all(dir + "/stdout.txt");
    return status;
}

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

const std::vector<std::string> kWords = {"-xdump",  "-evstat", "-fti", "BPM/X,SPECT/ADC,MAGNETS",
                                         "-imdump", "imgs"};

// The sample recording has 9 channels.
const int kChannels = 9;

TEST(AllocationFailures, EveryAllocationOfARun) {
    // The run without failures: its allocation count bounds the sweep.
    Outcome base;
    int st = run_child(make_temp_dir(), 0, kWords, false, &base);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    ASSERT_EQ(base.init_rc, 0) << base.out;
    ASSERT_GT(base.allocations, 0);
    EXPECT_FALSE(base.injected);
    EXPECT_NE(base.out.find("READER FINISHED statistics"), std::string::npos);

    const std::set<std::string> init_messages = {
        "zarn_user_init(): failed to malloc chans !!!\n",
        "zarn_user_init(): failed to malloc subchans !!!\n",
        "zarn_user_init(): failed to malloc event lists !!!\n",
        "zarn_user_init(): failed to malloc do_conv !!!\n"};
    std::set<std::string> seen;
    bool spect_msg = false, evid_msg = false;
    long n = 1;
    for (;; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        Outcome o;
        std::string dir = make_temp_dir();
        st = run_child(dir, n, kWords, false, &o);
        ASSERT_TRUE(WIFEXITED(st)) << "signal " << (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
        ASSERT_EQ(WEXITSTATUS(st), 0) << read_all(dir + "/stderr.txt");
        if (!o.injected)
            break;
        ASSERT_TRUE(o.init_rc == 0 || o.init_rc == -3) << o.init_rc;
        if (o.init_rc == -3) {
            // The run stops at set-up with one of the -3 messages, last.
            bool found = false;
            for (auto &m : init_messages)
                if (o.out.size() >= m.size() &&
                    o.out.compare(o.out.size() - m.size(), m.size(), m) == 0) {
                    seen.insert(m);
                    found = true;
                }
            EXPECT_TRUE(found) << o.out;
            continue;
        }
        // A run that got past set-up ends as usual.
        EXPECT_NE(o.out.find("READER FINISHED statistics"), std::string::npos) << o.out;
        EXPECT_EQ(o.end_rc, 0);
        if (o.out.find("Failed to create spectrum parameters structures\n") != std::string::npos)
            spect_msg = true;
        for (int c = 0; c < kChannels; c++) {
            std::string m = "zarn_user_loop(): out of memory for event IDs of channel " +
                            std::to_string(c) + "\n";
            size_t k = count_of(o.out, m);
            EXPECT_LE(k, 1u) << m;
            if (k)
                evid_msg = true;
        }
    }
    EXPECT_EQ(n - 1, base.allocations) << "the sweep covers every allocation of the run";
    RecordProperty("allocations", (int)base.allocations);
    printf("swept %ld allocations\n", base.allocations);
    EXPECT_TRUE(seen.count("zarn_user_init(): failed to malloc chans !!!\n"));
    EXPECT_TRUE(seen.count("zarn_user_init(): failed to malloc subchans !!!\n"));
    EXPECT_TRUE(seen.count("zarn_user_init(): failed to malloc do_conv !!!\n"));
    EXPECT_TRUE(spect_msg);
    EXPECT_TRUE(evid_msg);
}

// Without a reader the set-up gives -1 and prints nothing.
TEST(AllocationFailures, NullReaderPrintsNothing) {
    Outcome o;
    std::string dir = make_temp_dir();
    int st = run_child(dir, 0, kWords, true, &o);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    EXPECT_EQ(o.init_rc, -1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(read_all(dir + "/stderr.txt"), "");
    EXPECT_EQ(o.allocations, 0);
}

}  // namespace
