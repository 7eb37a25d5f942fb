// unit_event_ids.cc - the event-ID lists: kept only with -evstat (the
// event-ID file is their only reader), as runs of consecutive numbers, so
// that a long run of increasing macro-pulse numbers costs one run per
// channel; the recording rule (a number equal to the last one recorded is
// not recorded again) and the numbers' order are those of a plain list.
// And the reset of the whole run state to its load values, of which the
// lists are the largest part.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "korvel_evids.h"
#include "korvel_format.h"
#include "korvel_state.h"
#include "test_files.h"
#include "unit_child_run.h"

namespace {

// The numbers of channel i's list, every run spelled out.
std::vector<long long> numbers(int i) {
    std::vector<long long> v;
    const evid_list *l = evids_list(i);
    for (int k = 0; k < l->len; k++)
        for (unsigned j = 0; j < l->runs[k].count; j++)
            v.push_back((long long)l->runs[k].first + j);
    return v;
}

// Each test starts from empty lists of channels 0 and 1, -evstat set.
class EventIdLists : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = opt.evstatdump;
        opt.evstatdump = true;
        clear();
    }
    void TearDown() override {
        clear();
        opt.evstatdump = saved_;
    }
    static void clear() {
        for (int i = 0; i < 2; i++) {
            free(eventids[i].runs);
            eventids[i] = evid_list{};
        }
    }
    bool saved_ = false;
};

}  // namespace

TEST_F(EventIdLists, NothingIsKeptWithoutEvstat) {
    opt.evstatdump = false;
    for (int m = 0; m < 1000; m += 3)
        evids_record(0, m);
    EXPECT_EQ(eventids[0].len, 0);
    EXPECT_EQ(eventids[0].cap, 0);
    EXPECT_EQ(eventids[0].runs, nullptr);
}

// 100 000 increasing macro-pulse numbers: one run, a few bytes.
TEST_F(EventIdLists, IncreasingNumbersMakeOneRun) {
    for (int m = 1000; m < 101000; m++)
        evids_record(0, m);
    ASSERT_EQ(eventids[0].len, 1);
    EXPECT_LE(eventids[0].cap, 4);
    EXPECT_EQ(eventids[0].runs[0].first, 1000);
    EXPECT_EQ(eventids[0].runs[0].count, 100000u);
}

// Repeats of the last number are dropped, earlier numbers coming back are
// recorded again, gaps and steps backwards start new runs, in order.
TEST_F(EventIdLists, RecordingRuleAndOrderAreThoseOfAPlainList) {
    for (int m : {5, 5, 6, 7, 7, 9, 8, 8, 9, 5, -1, 0, 1})
        evids_record(1, m);
    EXPECT_EQ(numbers(1), (std::vector<long long>{5, 6, 7, 9, 8, 9, 5, -1, 0, 1}));
    EXPECT_EQ(eventids[1].len, 5);  // 5..7, 9, 8..9, 5, -1..1
    EXPECT_EQ(numbers(0), std::vector<long long>{});
}

// INT_MAX is no run's middle: the number after it is INT_MIN, a new run.
TEST_F(EventIdLists, NoRunWrapsPastTheLargestInt) {
    for (int m : {INT_MAX - 1, INT_MAX, INT_MIN, INT_MIN + 1, INT_MIN + 1})
        evids_record(0, m);
    EXPECT_EQ(numbers(0), (std::vector<long long>{INT_MAX - 1, INT_MAX, INT_MIN, INT_MIN + 1}));
    EXPECT_EQ(eventids[0].len, 2);
}

namespace {

// In a child working in `dir`: a run with every option on one value channel
// S (1.5, event 1), left before its end so that the table file is open and
// its row still collected; then korvel_state_reset(). Standard output goes
// to dir/stdout.txt; the names of the variables that do not hold their
// load value afterwards go to dir/left.txt.
int run_then_reset_in_child(const std::string &dir) {
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        child_enter(dir);
        if (mkdir("imgs", 0755) != 0)
            child_exit(91);
        standin::RunHeader h;
        h.channels.push_back(standin::Channel{std::string("S"), -1, 2});
        standin::Run run(h);
        standin::Event ev;
        ev.id = 1;
        ev.add("S").value = 1.5f;
        child_init_and_loop(run,
                            {"-out", "t.txt", "-evstat", "-xdump", "x.xml", "-fti", "S", "-hdf5",
                             "-imdump", "imgs", "-zerocheck", "-imbin", "-dumpall", "-nostat",
                             "-nonvn"},
                            ev);
        korvel_output_failed("image file", "x", 5);
        space_refusal_told = true;

        korvel_state_reset();
        FILE *left = fopen("left.txt", "w");
        auto expect = [left](bool ok, const char *name) {
            if (!ok)
                fprintf(left, "%s\n", name);
        };
        expect(strcmp(opt.file, "./user_out.txt") == 0, "file");
        expect(strcmp(opt.fileids, "./user_evids.txt") == 0, "fileids");
        expect(strcmp(opt.imdir, "./") == 0, "imdir");
        expect(strcmp(opt.xfile, "./user_descr.xml") == 0, "xfile");
        expect(!opt.ftilist, "ftilist");
        expect(!(opt.zerocheck || opt.imbin || opt.evstatdump || opt.nodump || opt.dallval ||
                 opt.nostat || opt.nonvn || opt.hdf5mode || opt.imdump || opt.dumpxml),
               "a flag option");
        expect(nchans == 0 && !chans && !subchans && !do_conv && !spectprms, "channel table");
        expect(!fd && !fdids, "files");
        expect(first_event == -1 && last_event == -1 && bad_chans == 0, "counters");
        expect(output_errno == 0 && output_failure_text[0] == '\0', "output failure");
        expect(!space_refusal_told, "space_refusal_told");
        expect(!eventids[0].runs && eventids[0].len == 0 && eventids[0].cap == 0, "eventids");
        expect(!eventids_more && eventids_more_count == 0, "eventids_more");
        expect(out_len == 0 && out_errno == 0, "output buffer");
        fclose(left);
        child_exit(0);
    }
    int st = 0;
    if (pid < 0 || waitpid(pid, &st, 0) != pid || !WIFEXITED(st))
        return -1;
    return WEXITSTATUS(st);
}

}  // namespace

// After a run with every option, left open with its row collected, the
// reset hands that row to the table file (1.5 in integer form: its bits
// 0x3FC00000, in the HDF5 dialect), and every variable of the run state,
// the lists and the output buffer hold their load values again.
TEST(RunStateReset, GivesEveryVariableItsLoadValueAndLosesNoRow) {
    std::string dir = make_temp_dir();
    ASSERT_EQ(run_then_reset_in_child(dir), 0) << read_file(dir + "/stdout.txt");
    EXPECT_EQ(read_file(dir + "/left.txt"), "");
    EXPECT_EQ(read_file(dir + "/t.txt"),
              "EventId,Time,TimeISO,S\n1,0:0,1970-01-01T00:00:00Z,[[1069547520]]\n");
}
