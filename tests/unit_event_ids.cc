// unit_event_ids.cc - the event-ID lists: kept only with -evstat (the
// event-ID file is their only reader), as runs of consecutive numbers, so
// that a long run of increasing macro-pulse numbers costs one run per
// channel; the recording rule (a number equal to the last one recorded is
// not recorded again) and the numbers' order are those of a plain list.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "korvel_state.h"

namespace {

// The numbers of channel i's list, every run spelled out.
std::vector<long long> numbers(int i) {
    std::vector<long long> v;
    const evid_list *l = korvel_evlist(i);
    for (int k = 0; k < l->len; k++)
        for (unsigned j = 0; j < l->runs[k].count; j++)
            v.push_back((long long)l->runs[k].first + j);
    return v;
}

// Each test starts from empty lists of channels 0 and 1, -evstat set.
class EventIdLists : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = evstatdump;
        evstatdump = true;
        clear();
    }
    void TearDown() override {
        clear();
        evstatdump = saved_;
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
    evstatdump = false;
    for (int m = 0; m < 1000; m += 3)
        korvel_record_mpulse(0, m);
    EXPECT_EQ(eventids[0].len, 0);
    EXPECT_EQ(eventids[0].cap, 0);
    EXPECT_EQ(eventids[0].runs, nullptr);
}

// 100 000 increasing macro-pulse numbers: one run, a few bytes.
TEST_F(EventIdLists, IncreasingNumbersMakeOneRun) {
    for (int m = 1000; m < 101000; m++)
        korvel_record_mpulse(0, m);
    ASSERT_EQ(eventids[0].len, 1);
    EXPECT_LE(eventids[0].cap, 4);
    EXPECT_EQ(eventids[0].runs[0].first, 1000);
    EXPECT_EQ(eventids[0].runs[0].count, 100000u);
}

// Repeats of the last number are dropped, earlier numbers coming back are
// recorded again, gaps and steps backwards start new runs, in order.
TEST_F(EventIdLists, RecordingRuleAndOrderAreThoseOfAPlainList) {
    for (int m : {5, 5, 6, 7, 7, 9, 8, 8, 9, 5, -1, 0, 1})
        korvel_record_mpulse(1, m);
    EXPECT_EQ(numbers(1), (std::vector<long long>{5, 6, 7, 9, 8, 9, 5, -1, 0, 1}));
    EXPECT_EQ(eventids[1].len, 5);  // 5..7, 9, 8..9, 5, -1..1
    EXPECT_EQ(numbers(0), std::vector<long long>{});
}

// INT_MAX is no run's middle: the number after it is INT_MIN, a new run.
TEST_F(EventIdLists, NoRunWrapsPastTheLargestInt) {
    for (int m : {INT_MAX - 1, INT_MAX, INT_MIN, INT_MIN + 1, INT_MIN + 1})
        korvel_record_mpulse(0, m);
    EXPECT_EQ(numbers(0), (std::vector<long long>{INT_MAX - 1, INT_MAX, INT_MIN, INT_MIN + 1}));
    EXPECT_EQ(eventids[0].len, 2);
}
