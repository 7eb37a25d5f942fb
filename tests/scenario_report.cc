// scenario_report.cc - the end of a run through korvel-replay: the
// statistics lines with the event efficiency, and the event-ID file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "replay_harness.h"

namespace {

const std::string kMarkerA = R"([{"name": "A", "type": 1}])";

// An event of channel A with this id (and macro-pulse number).
std::string ev(long long id) {
    return "{\"id\": " + std::to_string(id) + ", \"channels\": {\"A\": {}}}";
}
// The same with a bad channel A (status 1, no image parameters).
std::string bad_ev(long long id) {
    return "{\"id\": " + std::to_string(id) +
           ", \"channels\": {\"A\": {\"chan\": {\"status\": 1}, \"image\": {\"fail\": true}}}}";
}

const std::string kListingA = setup_listing({"A"});

}  // namespace

// Without any event seen the efficiency line is left out; the event counts
// are the reader's answers.
TEST(Report, RunWithoutEventsPrintsNoEfficiency) {
    ReplayResult r = replay(recording(kMarkerA, {}, "\"events\": 7, \"empty_events\": 3"), {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kListingA + "READER FINISHED statistics: events: 7  empty_events:3\n"
                                 "   Bad chans: 0\n");

    // Events whose header cannot be read are not seen either.
    r = replay(recording(kMarkerA, {R"({"id": 1, "fail": true})", R"({"id": 2, "fail": true})"}),
               {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kListingA +
                         "zarn_user_loop(): failed to get event info\n"
                         "zarn_user_loop(): failed to get event info\n" +
                         end_statistics(2, 0, "", 0));
}

TEST(Report, ConsecutiveEventsWithoutBadChannelsGiveOneHundred) {
    ReplayResult r = replay(recording(kMarkerA, {ev(10), ev(11), ev(12), ev(13)}), {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kListingA + end_statistics(4, 0, "100.000000", 0));
}

// Five consecutive events with two bad entries: (5 - 2 - 1) / 4.
TEST(Report, EveryBadChannelEntryCountsAsALostEvent) {
    ReplayResult r = replay(recording(kMarkerA, {ev(1), bad_ev(2), ev(3), bad_ev(4), ev(5)}), {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kListingA + "No image parameters availanle\nNo image parameters availanle\n" +
                         end_statistics(5, 0, "50.000000", 2));

    // The same figure as one event missing from six: (5 - 0 - 1) / 5.
    r = replay(recording(kMarkerA, {ev(1), ev(2), ev(4), ev(5), ev(6)}), {});
    EXPECT_EQ(r.out, kListingA + end_statistics(5, 0, "80.000000", 0));
}

// 1 / 3 * 100 in single precision is 33.333336 (double would give
// 33.333333).
TEST(Report, EfficiencyIsComputedInSinglePrecision) {
    ReplayResult r = replay(recording(kMarkerA, {ev(1), ev(2), ev(3), ev(4)}, "\"events\": 2"), {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kListingA + end_statistics(2, 0, "33.333336", 0));
}

TEST(Report, EqualFirstAndLastEventDivideByZero) {
    ReplayResult r = replay(recording(kMarkerA, {ev(9)}, "\"events\": 3"), {});
    EXPECT_EQ(r.out, kListingA + end_statistics(3, 0, "inf", 0));
    r = replay(recording(kMarkerA, {ev(9)}, "\"events\": 0"), {});
    EXPECT_EQ(r.out, kListingA + end_statistics(0, 0, "-inf", 0));
#if defined(__x86_64__) || defined(__i386__)
    // 0 / 0 gives the processor's default NaN, which has its sign bit set.
    r = replay(recording(kMarkerA, {ev(9)}), {});
    EXPECT_EQ(r.out, kListingA + end_statistics(1, 0, "-nan", 0));
#endif
}

TEST(Report, LastEventBelowTheFirstGivesANegativeEfficiency) {
    ReplayResult r = replay(recording(kMarkerA, {ev(5), ev(3)}), {});
    EXPECT_EQ(r.out, kListingA + end_statistics(2, 0, "-50.000000", 0));
}

// Both operands are 32-bit results that wrap: events - bad - 1 with the
// smallest int events, and last - first across the sign change of the
// event numbers.
TEST(Report, EfficiencyOperandsWrapAtThirtyTwoBits) {
    ReplayResult r = replay(recording(kMarkerA, {ev(1), ev(2)}, "\"events\": -2147483648"), {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kListingA + end_statistics(-2147483647 - 1, 0, "214748364800.000000", 0));

    r = replay(recording(kMarkerA, {ev(2147483647), ev(2147483648LL)}), {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kListingA + end_statistics(2, 0, "100.000000", 0));
}

// One line per channel in table order with the bare channel name, the
// numbers signed and comma-separated, nothing after the tab for an empty
// list; an old file is replaced.
TEST(Report, EventIdFileHasOneLinePerChannel) {
    std::string rec = recording(
        R"([{"name": "A", "type": 1}, {"name": "B", "type": 1}, {"name": "C", "type": 1},)"
        R"( {"name": "X", "sub": 1, "type": 1}, {"name": "X", "sub": 2, "type": 1}])",
        {R"({"id": 1, "mpulse": 10, "channels": {"A": {}, "X:1": {}}})",
         R"({"id": 2, "mpulse": 11, "channels": {"A": {}, "C": {"block": {"mpulse": -7}}}})",
         R"({"id": 3, "mpulse": 13, "channels": {"A": {}, "X:2": {}}})"});
    const std::string ids = "Chan:A\t10,11,13\nChan:B\t\nChan:C\t-7\nChan:X\t10\nChan:X\t13\n";
    for (auto nodump : {false, true}) {
        SCOPED_TRACE(nodump ? "-nodump" : "table written");
        ReplayRun run;
        run.recording = rec;
        run.words = {"-evstat"};
        if (nodump)
            run.words.push_back("-nodump");
        run.dir = make_temp_dir();
        write_file(run.dir + "/user_evids.txt", std::string(300, '#') + "\n");
        ReplayResult r = replay(run);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.file("user_evids.txt"), ids);
    }
}

// Runs of consecutive numbers, repeats, steps back and the ends of the int
// range: the file spells out every number recorded, in order, the repeats
// of the last one left out; a second channel's line between.
TEST(Report, EventIdFileSpellsOutEveryNumberInOrder) {
    std::vector<std::string> events;
    long long id = 1;
    for (long long m :
         {5LL, 5LL, 6LL, 7LL, 9LL, 8LL, 9LL, 2147483647LL, -2147483648LL, -2147483647LL})
        events.push_back("{\"id\": " + std::to_string(id++) + ", \"mpulse\": " + std::to_string(m) +
                         ", \"channels\": {\"A\": {}, \"B\": {}}}");
    ReplayResult r =
        replay(recording(R"([{"name": "A", "type": 1}, {"name": "B", "type": 1}])", events),
               {"-evstat", "-nodump"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string numbers = "5,6,7,9,8,9,2147483647,-2147483648,-2147483647";
    EXPECT_EQ(r.file("user_evids.txt"), "Chan:A\t" + numbers + "\nChan:B\t" + numbers + "\n");
}

// The event-ID file cannot be created: both messages, and the rest of the
// end still runs (the table is complete, the XML file written).
TEST(Report, UnopenableEventIdFileIsReportedAndTheEndGoesOn) {
    ReplayRun run;
    run.recording = recording(kMarkerA, {ev(1), ev(2)});
    run.words = {"-evstat", "-xdump"};
    run.dir = make_temp_dir();
    ASSERT_EQ(mkdir((run.dir + "/user_evids.txt").c_str(), 0755), 0);
    ReplayResult r = replay(run);
    // The event-ID file was asked for and is missing: an output failure.
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kListingA + end_statistics(2, 0, "100.000000", 0) +
                         "zarn_user_end2010(): failed to open event IDs file for writing\n");
    EXPECT_NE(r.err.find("fopen: Is a directory\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("korvel-replay: an output of the plug-in failed: event IDs file "
                         "./user_evids.txt: Is a directory\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.file("user_out.txt"), "EventId\tTime\t\t\tA\n"
                                      "[NORMAL]1\t\t0:0\t1970-01-01T00:00:00Z\t1\t\n"
                                      "[NORMAL]2\t\t0:0\t1970-01-01T00:00:00Z\t1\t\n");
    EXPECT_EQ(r.file("user_descr.xml").rfind("<?xml", 0), 0u);
}

// Channels beyond the 4096th keep their event-ID lists and their cells.
TEST(Report, MoreThan4096ChannelsAllKeepTheirLists) {
    const int n = 4100;
    std::string chans = "[", entries, header = "EventId\tTime\t\t\t", cells, ids;
    for (int i = 0; i < n; i++) {
        std::string name = "C" + std::to_string(i);
        chans += std::string(i ? ", " : "") + "{\"name\": \"" + name + "\", \"type\": 1}";
        entries += std::string(i ? ", " : "") + "\"" + name + "\": {}";
        header += name + (i == n - 1 ? "\n" : "\t");
        cells += std::string("1\t") + (i == n - 1 ? "\n" : "\t");
        ids += "Chan:" + name + "\t7,8\n";
    }
    chans += "]";
    std::string rec =
        recording(chans, {"{\"id\": 1, \"mpulse\": 7, \"channels\": {" + entries + "}}",
                          "{\"id\": 2, \"mpulse\": 8, \"channels\": {" + entries + "}}"});
    ReplayResult r = replay(rec, {"-evstat"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("user_evids.txt"), ids);
    EXPECT_EQ(r.file("user_out.txt"), header + "[NORMAL]1\t\t0:0\t1970-01-01T00:00:00Z\t" + cells +
                                          "[NORMAL]2\t\t0:0\t1970-01-01T00:00:00Z\t" + cells);
}
