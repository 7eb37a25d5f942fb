// h5_output_test.cc - the end of a conversion: OUT.part becomes OUT only
// when no interrupt came before the decision, and the answer says what
// happened to OUT. Each run ends in a child process (the interrupt flag
// is the process's own and is never reset).
#include "h5_converter.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A directory holding an old OUT and a finished OUT.part.
class OutputFinish : public ::testing::Test {
  protected:
    void SetUp() override {
        const char *base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/h5output_XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        dir_ = pattern;
        out_ = dir_ + "/out.h5";
        part_ = out_ + ".part";
        write_file(out_, "old\n");
        write_file(part_, "new\n");
    }
    void TearDown() override {
        unlink(part_.c_str());
        unlink(out_.c_str());
        rmdir(dir_.c_str());
    }
    // Ends a run of status `rc` in a child, after raising `sig` (0: none)
    // first; the child exits with output_finish's status.
    void finish_in_child(int sig, int rc, int status, const char *words) {
        EXPECT_EXIT(
            {
                ::Run run;
                run.opt.out = out_;
                run.opt.table = dir_ + "/t.txt";
                catch_signals();
                if (sig)
                    raise(sig);
                exit(output_finish(run, part_, rc));
            },
            ::testing::ExitedWithCode(status), words);
    }
    std::string dir_, out_, part_;
};

TEST_F(OutputFinish, AnInterruptBeforeTheDecisionLeavesTheOldOutput) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        write_file(part_, "new\n");
        finish_in_child(sig, 0, 128 + sig, "interrupted; .*out.h5 not written");
        EXPECT_EQ(read_file(out_), "old\n");
        EXPECT_NE(access(part_.c_str(), F_OK), 0);
    }
}

// (status of the run, exit status, words, what OUT then holds)
TEST_F(OutputFinish, WithoutAnInterruptTheStatusDecides) {
    struct Case {
        int rc, status;
        const char *words, *out;
    } cases[] = {
        {0, 0, "out.h5: 0 events \\(0 cut short\\), 0 channels; 0 warnings", "new\n"},
        {1, 1, "", "old\n"},
        {2, 2, "", "old\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rc);
        write_file(out_, "old\n");
        write_file(part_, "new\n");
        finish_in_child(0, c.rc, c.status, c.words);
        EXPECT_EQ(read_file(out_), c.out);
        EXPECT_NE(access(part_.c_str(), F_OK), 0);
    }
}

// Once the decision is taken, an interrupt changes nothing: it is held
// back, and the run's answer is the one decided.
TEST(Interrupts, HeldBackAfterTheDecision) {
    EXPECT_EXIT(
        {
            catch_signals();
            hold_interrupts();
            raise(SIGTERM);
            exit(interrupted() == 0 && interrupt_held() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
