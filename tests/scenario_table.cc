// scenario_table.cc - the event table through korvel-replay: header row,
// leading and status columns, separators and row ends in tab and HDF5 mode,
// and what the event loop does on failures, bad channels, unknown data
// types and -nodump.
#include <gtest/gtest.h>

#include "replay_harness.h"

namespace {

const std::string kIso0 = "1970-01-01T00:00:00Z";

// Leading columns of a tab-mode row: "[type name]id", two tabs, the time,
// a tab, the ISO time, a tab.
std::string lead_tab(const std::string &evname, const std::string &id,
                     const std::string &time = "0:0", const std::string &iso = kIso0) {
    return "[" + evname + "]" + id + "\t\t" + time + "\t" + iso + "\t";
}
// Leading columns of an HDF5-mode row.
std::string lead_hdf5(const std::string &id, const std::string &time = "0:0",
                      const std::string &iso = kIso0) {
    return id + "," + time + "," + iso + ",";
}

ReplayResult run_with(const std::string &rec, const std::vector<std::string> &words,
                      const std::vector<std::string> &options) {
    ReplayRun run;
    run.recording = rec;
    run.words = words;
    run.options = options;
    return replay(run);
}

}  // namespace

// Four channels: a marker, a single value under a sub-channel title, a
// two-item name-value block and an EqData channel with its empty cell.
TEST(Table, FourChannelExampleInBothModes) {
    std::string rec = recording(
        R"([{"name": "A", "type": 1}, {"name": "B", "sub": 2}, {"name": "Cx"}, {"name": "E", "type": 5}])",
        {R"({"id": 1234, "time": [987, 250], "channels": {"A": {}, "B:2": {"value": 0.5},)"
         R"( "Cx": {"items": [["x", 1.0], ["y", 0.25]]}, "E": {"eq": {"type": 1, "values": [3]}}}})"},
        "\"events\": 2");
    const std::string iso = "1970-01-01T00:16:27Z";
    const std::string out = setup_listing({"A", "B:2", "Cx", "E"}) +
                            "EqData type INT\n  values: 3\n" + end_statistics(2, 0, "inf", 0);

    ReplayResult r = replay(rec, {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.file("user_out.txt"), "EventId\tTime\t\t\tA\tB:2\tCx\tE\n"
                                      "[NORMAL]1234\t\t987:250\t" +
                                          iso +
                                          "\t1\t\t0.500000\t\t\t{[x:1.00e+00]\t[y:2.50e-01]}\t\n");

    r = replay(rec, {"-hdf5"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.file("user_out.txt"), "EventId,Time,TimeISO,A,B:2,Cx,E\n"
                                      "1234,987:250," +
                                          iso + ",1\t,[[0.500000]],[[x:1.00e+00][y:2.50e-01]],\n");
}

// outmode from the recording and from the command line.
TEST(Table, StatusColumnsExampleInBothModes) {
    const std::string ev = R"({"id": 1234, "time": [987, 250], "channels": {"A": {}}})";
    const std::string chans = R"([{"name": "A", "type": 1}])";
    const std::string iso = "1970-01-01T00:16:27Z";

    ReplayResult r = replay(recording(chans, {ev}, "\"outmode\": 1"), {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("user_out.txt"),
              "EventId\tTime\t\t\tEvHeadStatus\t\t\tSrvBlockStatus\t\t\tChanStatus\t\t\tA\n"
              "[NORMAL]1234\t\t987:250\t" +
                  iso + "\t0x0\t\t\t0x0\t\t\t0x0\t\t\t1\t\n");

    r = run_with(recording(chans, {ev}), {"-hdf5"}, {"--outmode", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("user_out.txt"),
              "EventId,Time,TimeISO,EvHeadStatus,SrvBlockStatus,ChanStatus,A\n"
              "1234,987:250," +
                  iso + ",0x0,0x0,0x0,1\t\n");

    // Any non-zero outmode counts, and the command line wins over the file.
    r = run_with(recording(chans, {ev}, "\"outmode\": 1"), {"-hdf5"}, {"--outmode", "0"});
    EXPECT_EQ(r.file("user_out.txt"), "EventId,Time,TimeISO,A\n1234,987:250," + iso + ",1\t\n");
    r = run_with(recording(chans, {ev}), {"-hdf5"}, {"--outmode", "-7"});
    EXPECT_EQ(r.file("user_out.txt"),
              "EventId,Time,TimeISO,EvHeadStatus,SrvBlockStatus,ChanStatus,A\n"
              "1234,987:250," +
                  iso + ",0x0,0x0,0x0,1\t\n");
}

TEST(Table, EventTypeNameLeadsTheTabRowOnly) {
    std::string rec = recording(R"([{"name": "A", "type": 1}])",
                                {R"({"id": 1, "type": 0, "channels": {"A": {}}})",
                                 R"({"id": 2, "type": 1, "channels": {"A": {}}})",
                                 R"({"id": 3, "type": 2, "channels": {"A": {}}})",
                                 R"({"id": 4, "type": 3, "channels": {"A": {}}})",
                                 R"({"id": 5, "type": 4, "channels": {"A": {}}})",
                                 R"({"id": 6, "type": 7, "channels": {"A": {}}})",
                                 R"({"id": 7, "type": -1, "channels": {"A": {}}})"});
    ReplayResult r = replay(rec, {});
    EXPECT_EQ(r.file("user_out.txt"),
              "EventId\tTime\t\t\tA\n" + lead_tab("NONE", "1") + "1\t\n" + lead_tab("NORMAL", "2") +
                  "1\t\n" + lead_tab("CALIB", "3") + "1\t\n" + lead_tab("PEDESTAL", "4") + "1\t\n" +
                  lead_tab("TEST", "5") + "1\t\n" + lead_tab("TYPE7", "6") + "1\t\n" +
                  lead_tab("TYPE-1", "7") + "1\t\n");
    r = replay(rec, {"-hdf5"});
    EXPECT_EQ(r.file("user_out.txt"), "EventId,Time,TimeISO,A\n" + lead_hdf5("1") + "1\t\n" +
                                          lead_hdf5("2") + "1\t\n" + lead_hdf5("3") + "1\t\n" +
                                          lead_hdf5("4") + "1\t\n" + lead_hdf5("5") + "1\t\n" +
                                          lead_hdf5("6") + "1\t\n" + lead_hdf5("7") + "1\t\n");
}

// Event numbers, seconds and microseconds are unsigned 32-bit values written
// with "%d"; the ISO time is taken from the unsigned seconds. The
// macro-pulse numbers (the event numbers as signed ints) are recorded as
// they are.
TEST(Table, NumbersFromTwoToTheThirtyFirstPrintNegative) {
    std::string rec =
        recording(R"([{"name": "A", "type": 1}])",
                  {R"({"id": 4294967295, "time": [2147483648, 4294967295], "channels": {"A": {}}})",
                   R"({"id": 2147483648, "time": [4294967295, 2147483648], "channels": {"A": {}}})",
                   R"({"id": 2147483647, "time": [2147483647, 999999], "channels": {"A": {}}})"});
    const std::string t1 = "-2147483648:-1", i1 = "2038-01-19T03:14:08Z";
    const std::string t2 = "-1:-2147483648", i2 = "2106-02-07T06:28:15Z";
    const std::string t3 = "2147483647:999999", i3 = "2038-01-19T03:14:07Z";

    ReplayResult r = replay(rec, {"-evstat"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("user_out.txt"), "EventId\tTime\t\t\tA\n" + lead_tab("NORMAL", "-1", t1, i1) +
                                          "1\t\n" + lead_tab("NORMAL", "-2147483648", t2, i2) +
                                          "1\t\n" + lead_tab("NORMAL", "2147483647", t3, i3) +
                                          "1\t\n");
    EXPECT_EQ(r.file("user_evids.txt"), "Chan:A\t-1,-2147483648,2147483647\n");

    r = replay(rec, {"-hdf5"});
    EXPECT_EQ(r.file("user_out.txt"), "EventId,Time,TimeISO,A\n" + lead_hdf5("-1", t1, i1) +
                                          "1\t\n" + lead_hdf5("-2147483648", t2, i2) + "1\t\n" +
                                          lead_hdf5("2147483647", t3, i3) + "1\t\n");
}

// Event, server-block and channel status words: "0x%X".
TEST(Table, StatusWordsAreUpperCaseHexWithoutLeadingZeros) {
    std::string rec = recording(
        R"([{"name": "A", "type": 1}])",
        {R"({"id": 1, "status": 0, "channels": {"A": {"block": {"status": 255}}}})",
         R"({"id": 2, "status": 255, "channels": {"A": {"block": {"status": -1}}}})",
         R"({"id": 3, "status": -1, "channels": {"A": {"block": {"status": 16}, "chan": {"status": 171},)"
         R"( "image": {"fail": true}}}})"},
        "\"outmode\": 1");
    ReplayResult r = replay(rec, {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("user_out.txt"),
              "EventId\tTime\t\t\tEvHeadStatus\t\t\tSrvBlockStatus\t\t\tChanStatus\t\t\tA\n" +
                  lead_tab("NORMAL", "1") + "0x0\t\t\t0xFF\t\t\t0x0\t\t\t1\t\n" +
                  lead_tab("NORMAL", "2") + "0xFF\t\t\t0xFFFFFFFF\t\t\t0x0\t\t\t1\t\n" +
                  lead_tab("NORMAL", "3") + "0xFFFFFFFF\t\t\t0x10\t\t\t0xAB\t\t\t1\t\n");

    r = replay(rec, {"-hdf5"});
    EXPECT_EQ(r.file("user_out.txt"),
              "EventId,Time,TimeISO,EvHeadStatus,SrvBlockStatus,ChanStatus,A\n" + lead_hdf5("1") +
                  "0x0,0xFF,0x0,1\t\n" + lead_hdf5("2") + "0xFF,0xFFFFFFFF,0x0,1\t\n" +
                  lead_hdf5("3") + "0xFFFFFFFF,0x10,0xAB,1\t\n");
}

// The image block's time and status replace the event header's, the fast
// block's replace both; a channel's own block changes only its status
// column, and the channels record their own macro-pulse numbers.
TEST(Table, ImageAndFastBlocksReplaceTimeAndStatus) {
    std::string rec = recording(
        R"([{"name": "A", "type": 1}])",
        {R"({"id": 10, "time": [100, 1], "status": 1, "image_block": {"time": [50, 60], "status": 7, "mpulse": 77},)"
         R"( "channels": {"A": {}}})",
         R"({"id": 11, "time": [100, 1], "status": 1, "image_block": {"time": [50, 60], "status": 7},)"
         R"( "fast_block": {"time": [70, 80], "status": 8, "mpulse": 88}, "channels": {"A": {}}})",
         R"({"id": 12, "time": [100, 1], "status": 1, "fast_block": {"status": 9},)"
         R"( "channels": {"A": {"block": {"time": [999, 9], "status": 3}}}})",
         R"({"id": 13, "time": [100, 1], "status": 1, "channels": {"A": {}}})"},
        "\"outmode\": 1");
    const std::string t100 = "1970-01-01T00:01:40Z";
    ReplayResult r = replay(rec, {"-evstat"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("user_out.txt"),
              "EventId\tTime\t\t\tEvHeadStatus\t\t\tSrvBlockStatus\t\t\tChanStatus\t\t\tA\n" +
                  lead_tab("NORMAL", "10", "50:60", "1970-01-01T00:00:50Z") +
                  "0x7\t\t\t0x0\t\t\t0x0\t\t\t1\t\n" +
                  lead_tab("NORMAL", "11", "70:80", "1970-01-01T00:01:10Z") +
                  "0x8\t\t\t0x0\t\t\t0x0\t\t\t1\t\n" + lead_tab("NORMAL", "12", "100:1", t100) +
                  "0x9\t\t\t0x3\t\t\t0x0\t\t\t1\t\n" + lead_tab("NORMAL", "13", "100:1", t100) +
                  "0x1\t\t\t0x0\t\t\t0x0\t\t\t1\t\n");
    EXPECT_EQ(r.file("user_evids.txt"), "Chan:A\t10,11,12,13\n");
}

// A failing event query writes nothing and leaves first and last event
// alone; a failing block or channel query leaves the row without its line
// end, so the next row continues on the same line. The channels before the
// failing one keep their macro-pulse numbers.
TEST(Table, FailingQueriesLeaveTheRowOpen) {
    std::string rec =
        recording(R"([{"name": "A", "type": 1}, {"name": "B", "type": 1}])",
                  {R"({"id": 100, "fail": true})",
                   R"({"id": 1, "channels": {"A": {}, "B": {"block": {"fail": true}}}})",
                   R"({"id": 2, "channels": {"A": {}, "B": {}}})", R"({"id": 3, "fail": true})",
                   R"({"id": 4, "channels": {"A": {}, "B": {"chan": {"fail": true}}}})",
                   R"({"id": 5, "channels": {"A": {}, "B": {}}})", R"({"id": 200, "fail": true})"});
    const std::string blk = "zarn_user_loop(): failed to get Server Block info\n";
    const std::string info = "zarn_user_loop(): failed to get event info\n";

    ReplayResult r = replay(rec, {"-evstat"});
    EXPECT_EQ(r.status, 0);
    // 7 events, first 1, last 5: (7 - 0 - 1) / 4.
    EXPECT_EQ(r.out, setup_listing({"A", "B"}) + info + blk + info + blk + info +
                         end_statistics(7, 0, "150.000000", 0));
    EXPECT_EQ(r.file("user_out.txt"), "EventId\tTime\t\t\tA\tB\n" + lead_tab("NORMAL", "1") +
                                          "1\t\t" + lead_tab("NORMAL", "2") + "1\t\t1\t\n" +
                                          lead_tab("NORMAL", "4") + "1\t\t" +
                                          lead_tab("NORMAL", "5") + "1\t\t1\t\n");
    EXPECT_EQ(r.file("user_evids.txt"), "Chan:A\t1,2,4,5\nChan:B\t2,5\n");

    // With status columns, the failing channel query comes after the
    // server-block status column of its channel.
    r = run_with(rec, {"-hdf5"}, {"--outmode", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(
        r.file("user_out.txt"),
        "EventId,Time,TimeISO,EvHeadStatus,SrvBlockStatus,ChanStatus,A,SrvBlockStatus,ChanStatus,B\n" +
            lead_hdf5("1") + "0x0,0x0,0x0,1\t," + lead_hdf5("2") + "0x0,0x0,0x0,1\t,0x0,0x0,1\t\n" +
            lead_hdf5("4") + "0x0,0x0,0x0,1\t,0x0," + lead_hdf5("5") +
            "0x0,0x0,0x0,1\t,0x0,0x0,1\t\n");
}

// A non-zero channel status is counted once per channel and event, reported
// with the image parameters (whatever the data type), and the cell is
// still written.
TEST(Table, BadChannelsAreCountedReportedAndStillWritten) {
    std::string rec = recording(
        R"([{"name": "A", "type": 1}, {"name": "V"}])",
        {R"({"id": 1, "channels": {"A": {"chan": {"status": 4}, "image": {"nframe": 2, "compr": 1, "bpp": 2,)"
         R"( "width": 3, "height": 1}}, "V": {"value": 0.5}}})",
         R"({"id": 2, "channels": {"A": {"chan": {"status": -1}, "image": {"fail": true}},)"
         R"( "V": {"value": 0.25, "chan": {"status": 1}, "image": {"bpp": 1, "len": 9}}}})",
         R"({"id": 3, "channels": {"A": {}, "V": {"value": 1}}})"},
        "\"outmode\": 1");
    ReplayResult r = replay(rec, {});
    EXPECT_EQ(r.status, 0);
    // 3 events, 3 bad entries, first 1, last 3: (3 - 3 - 1) / 2.
    EXPECT_EQ(r.out, setup_listing({"A", "V"}) + " Image.nframe:2  compr:1 bpp:2 len:6\n" +
                         "No image parameters availanle\n" +
                         " Image.nframe:1  compr:0 bpp:1 len:9\n" +
                         end_statistics(3, 0, "-50.000000", 3));
    const std::string st = "0x0\t\t\t";
    EXPECT_EQ(r.file("user_out.txt"),
              "EventId\tTime\t\t\tEvHeadStatus\t\t\tSrvBlockStatus\t\t\tChanStatus\t\t\tA\t"
              "SrvBlockStatus\t\t\tChanStatus\t\t\tV\n" +
                  lead_tab("NORMAL", "1") + st + st + "0x4\t\t\t1\t\t" + st + st + "0.500000\t\n" +
                  lead_tab("NORMAL", "2") + st + st + "0xFFFFFFFF\t\t\t1\t\t" + st + "0x1\t\t\t" +
                  "0.250000\t\n" + lead_tab("NORMAL", "3") + st + st + st + "1\t\t" + st + st +
                  "1.000000\t\n");
}

// 0, negative and 6+ codes, and a channel missing from the event (for
// which the cursor gives 0), get the fallback cell and record nothing.
TEST(Table, UnknownDataTypesGetTheFallbackCell) {
    std::string rec = recording(
        R"([{"name": "T0", "type": 0}, {"name": "Tm", "type": -1}, {"name": "T6"}, {"name": "Abs"}])",
        {R"({"id": 1, "channels": {"T0": {}, "Tm": {}, "T6": {"type": 6}}})"});
    const std::string ids = "Chan:T0\t\nChan:Tm\t\nChan:T6\t\nChan:Abs\t\n";

    ReplayResult r = replay(rec, {"-evstat"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("user_out.txt"), "EventId\tTime\t\t\tT0\tTm\tT6\tAbs\n" +
                                          lead_tab("NORMAL", "1") +
                                          "Not found\tNot found\tNot found\tNot found\n");
    EXPECT_EQ(r.file("user_evids.txt"), ids);

    r = replay(rec, {"-evstat", "-hdf5"});
    EXPECT_EQ(r.file("user_out.txt"),
              "EventId,Time,TimeISO,T0,Tm,T6,Abs\n" + lead_hdf5("1") + "[],[],[],[]\n");
    EXPECT_EQ(r.file("user_evids.txt"), ids);

    r = replay(rec, {"-evstat", "-nodump"});
    EXPECT_EQ(r.file("user_evids.txt"), ids);
}

namespace {

// Channels of every kind, over four events with the macro-pulse numbers
// 5, 5, 6, 5: A marker, B single value whose block has numbers 9, 9, 8, 9,
// C EqData, D code 0, S spectrum, I image whose block has 1, 2, 2, 1, and Z,
// which is in no event. A is bad in event 3.
const std::string kEveryKind = recording(
    R"([{"name": "A", "type": 1}, {"name": "B"}, {"name": "C", "type": 5}, {"name": "D", "type": 0},)"
    R"( {"name": "S", "type": 3}, {"name": "I", "type": 4}, {"name": "Z", "type": 1}])",
    {R"({"id": 1, "mpulse": 5, "channels": {"A": {}, "B": {"value": 1, "block": {"mpulse": 9}},)"
     R"( "C": {"eq": {"type": 1, "values": [1]}}, "D": {}, "S": {"members": []}, "I": {"block": {"mpulse": 1}}}})",
     R"({"id": 2, "mpulse": 5, "channels": {"A": {}, "B": {"value": 1, "block": {"mpulse": 9}},)"
     R"( "C": {"eq": {"type": 1, "values": [1]}}, "D": {}, "S": {"members": []}, "I": {"block": {"mpulse": 2}}}})",
     R"({"id": 3, "mpulse": 6, "channels": {"A": {"chan": {"status": 2}, "image": {"fail": true}},)"
     R"( "B": {"value": 1, "block": {"mpulse": 8}},)"
     R"( "C": {"eq": {"type": 1, "values": [1]}}, "D": {}, "S": {"members": []}, "I": {"block": {"mpulse": 2}}}})",
     R"({"id": 4, "mpulse": 5, "channels": {"A": {}, "B": {"value": 1, "block": {"mpulse": 9}},)"
     R"( "C": {"eq": {"type": 1, "values": [1]}}, "D": {}, "S": {"members": []}, "I": {"block": {"mpulse": 1}}}})"});
const std::vector<std::string> kEveryKindTexts = {"A", "B", "C", "D", "S", "I", "Z"};
// 4 events, 1 bad entry, first 1, last 4: (4 - 1 - 1) / 3 in single precision.
const std::string kEveryKindEnd = end_statistics(4, 0, "66.666672", 1);

}  // namespace

// A number is appended unless it equals the last one recorded: 5, 5, 6, 5
// gives 5, 6, 5. Data types 1 to 5 record; other codes do not.
TEST(Table, MacroPulseNumbersAreRecordedWhenTheyChange) {
    ReplayResult r = replay(kEveryKind, {"-evstat"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("user_evids.txt"), "Chan:A\t5,6,5\nChan:B\t9,8,9\nChan:C\t5,6,5\nChan:D\t\n"
                                        "Chan:S\t5,6,5\nChan:I\t1,2,1\nChan:Z\t\n");
}

// -nodump: the same queries, bad-channel reports and counters, the lists of
// data types 1 to 4 (not 5), and nothing written; no EqData lines either.
TEST(Table, NodumpKeepsTheBookkeepingAndWritesNothing) {
    const std::string out =
        setup_listing(kEveryKindTexts) + "No image parameters availanle\n" + kEveryKindEnd;
    ReplayResult r = replay(kEveryKind, {"-nodump"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, out);
    EXPECT_FALSE(r.exists("user_out.txt"));
    EXPECT_FALSE(r.exists("user_evids.txt"));

    r = replay(kEveryKind, {"-nodump", "-evstat"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, out);
    EXPECT_FALSE(r.exists("user_out.txt"));
    EXPECT_EQ(r.file("user_evids.txt"), "Chan:A\t5,6,5\nChan:B\t9,8,9\nChan:C\t\nChan:D\t\n"
                                        "Chan:S\t5,6,5\nChan:I\t1,2,1\nChan:Z\t\n");
}
