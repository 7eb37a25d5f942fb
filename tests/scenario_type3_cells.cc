// scenario_type3_cells.cc - spectrum cells (data type 3) through korvel-replay: member
// entries in both dialects, statistics, value limits, the zero check, the
// integer form, the ROI summary and the capture of spectrum parameters for
// the XML description.
#include <gtest/gtest.h>

#include <map>

#include "replay_harness.h"

namespace {

const std::string kIso0 = "1970-01-01T00:00:00Z";
const std::string kSpectrumChannel = R"([{"name": "S", "type": 3}])";

// One event (id 1, time 0) in which channel S holds `entry`. The reader
// claims two events, so the efficiency line shows 1 / 0.
std::string one_spectrum(const std::string &entry) {
    return recording(kSpectrumChannel, {R"({"id": 1, "channels": {"S": )" + entry + "}}"},
                     "\"events\": 2");
}

std::string members(const std::string &list) {
    return "{\"members\": [" + list + "]}";
}

// The cells of `entry` in both dialects with the same words, and what the
// run printed.
void expect_spectrum_cells(const std::string &entry, const std::vector<std::string> &words,
                           const std::string &tab, const std::string &hdf5,
                           const std::string &messages = "",
                           const std::vector<std::string> &options = {}) {
    expect_cells("S", one_spectrum(entry), words, tab, hdf5, messages, options);
}

// A JSON array of n values 1, 2, ..., 9, 1, 2, ... and how "%.e" writes
// the first `shown` of them.
std::string digit_values(int n) {
    std::string s = "[";
    for (int k = 0; k < n; k++)
        s += (k ? ", " : "") + std::to_string(k % 9 + 1);
    return s + "]";
}
std::string digit_texts(int shown) {
    std::string s;
    for (int k = 0; k < shown; k++)
        s += (k ? " " : "") + std::to_string(k % 9 + 1) + "e+00";
    return s;
}

using Attrs = std::map<std::string, double>;

void expect_spectrum(const Attrs &a, int index, double start, double inc, int ndata, int groups,
                     double group_inc) {
    EXPECT_EQ(a, (Attrs{{"index", index},
                        {"start", start},
                        {"inc", inc},
                        {"ndata", ndata},
                        {"groups", groups},
                        {"group_inc", group_inc}}));
}

}  // namespace

// ---- Worked examples ----

TEST(SpectrumCell, TwoMembersWithAndWithoutStatistics) {
    expect_spectrum_cells(
        members(R"({"values": [1, 0.5, -2], "stat": {"mask": 5, "val": {"0": 1.5, "2": -2}}},)"
                R"( {"values": [100, 300]})"),
        {}, "{[ [0]:1.500000e+00 [2]:-2.000000e+00 1e+00 5e-01 -2e+00]\t[1e+02 3e+02]}",
        "[[ [0]:1.500000e+00 [2]:-2.000000e+00 1e+00 5e-01 -2e+00][1e+02 3e+02]]");
}

TEST(SpectrumCell, FailedQueryEmptyMemberAndSingleValue) {
    expect_spectrum_cells(
        members(R"({"fail": true}, {"ndata": 0, "stat": {"mask": 2, "val": {"1": 4}}},)"
                R"( {"values": [7]})"),
        {}, "{No data\t, [1]:4.000000e+00  Not found\t[7e+00]}",
        "[[], [1]:4.000000e+00  [][7e+00]]");
}

// ---- Member count and member endings ----

// No member is queried: members present in the recording do not show.
TEST(SpectrumCell, ZeroOrNegativeMemberCountGivesEmptyBrackets) {
    expect_spectrum_cells(members(""), {"-zerocheck"}, "{}", "[]");
    expect_spectrum_cells(R"({"members": [{"values": [0, 0]}], "nmemb": -3})", {"-zerocheck"}, "{}",
                          "[]");
    expect_spectrum_cells(R"({"members": [{"values": [1]}], "nmemb": 0})", {}, "{}", "[]");
}

// A last member with data closes with "]" alone; a failed last member keeps
// its tab and comma (the cell ends "\t,}"), an empty one its tab.
TEST(SpectrumCell, LastMemberEndings) {
    expect_spectrum_cells(members(R"({"values": [2]}, {"fail": true})"), {},
                          "{[2e+00]\tNo data\t,}", "[[2e+00][],]");
    expect_spectrum_cells(members(R"({"values": [2]}, {"ndata": 0})"), {}, "{[2e+00]\tNot found\t}",
                          "[[2e+00][]]");
    // A count above the members: the queries past them fail.
    expect_spectrum_cells(R"({"members": [{"values": [3]}], "nmemb": 2})", {},
                          "{[3e+00]\tNo data\t,}", "[[3e+00][],]");
    expect_spectrum_cells(members(R"({"fail": true})"), {}, "{No data\t,}", "[[],]");
}

// ---- Statistics ----

// Mask 0, no statistics, or -nostat: not even the blank after the
// statistics is written; -nostat drops them from empty members too.
TEST(SpectrumCell, StatisticsLeftOutForZeroMaskMissingRecordOrNostat) {
    const std::string entry =
        members(R"({"values": [1, 2], "stat": {"mask": 0, "val": {"0": 9}}}, {"values": [3]},)"
                R"( {"values": [4], "stat": {"mask": 1, "val": {"0": 5}}},)"
                R"( {"ndata": 0, "stat": {"mask": 1, "val": {"0": 6}}})");
    expect_spectrum_cells(
        entry, {},
        "{[1e+00 2e+00]\t[3e+00]\t[ [0]:5.000000e+00 4e+00]\t [0]:6.000000e+00  Not found\t}",
        "[[1e+00 2e+00][3e+00][ [0]:5.000000e+00 4e+00] [0]:6.000000e+00  []]");
    expect_spectrum_cells(entry, {"-nostat"}, "{[1e+00 2e+00]\t[3e+00]\t[4e+00]\tNot found\t}",
                          "[[1e+00 2e+00][3e+00][4e+00][]]");
    // A member without data and without statistics.
    expect_spectrum_cells(members(R"({"ndata": 0, "stat": {"mask": 0}})"), {}, "{Not found\t}",
                          "[[]]");
}

// Indices in increasing order up to 31; the statistic values themselves
// are written with "%e" whatever they are.
TEST(SpectrumCell, StatisticsIncludeBit31InIncreasingOrder) {
    // mask = bit 31 + bit 16 + bit 0
    expect_spectrum_cells(members(R"({"values": [1], "stat": {"mask": 2147549185,)"
                                  R"( "val": {"31": -0.5, "16": "inf", "0": 1, "5": 8}}})"),
                          {}, "{[ [0]:1.000000e+00 [16]:inf [31]:-5.000000e-01 1e+00]}",
                          "[[ [0]:1.000000e+00 [16]:inf [31]:-5.000000e-01 1e+00]]");
}

// ---- Value counts and limits ----

TEST(SpectrumCell, GroupsMultiplyTheValuesPerGroup) {
    // 31 values: index 30 lies past ndata x groups and must not be read.
    expect_spectrum_cells(
        members(R"({"ndata": 10, "groups": 3, "values": )" + digit_values(31) + "}"), {},
        "{[" + digit_texts(30) + "]}", "[[" + digit_texts(30) + "]]");
    // groups 0 and 1: ndata values; the values past the recorded ones are 0.
    expect_spectrum_cells(members(R"({"ndata": 3, "groups": 1, "values": [4, 5, 6, 7]},)"
                                  R"( {"ndata": 4, "groups": 0, "values": [8]})"),
                          {}, "{[4e+00 5e+00 6e+00]\t[8e+00 0e+00 0e+00 0e+00]}",
                          "[[4e+00 5e+00 6e+00][8e+00 0e+00 0e+00 0e+00]]");
    // ndata taken from the values: 7 values in 2 groups give 3 per group.
    expect_spectrum_cells(members(R"({"groups": 2, "values": [1, 2, 3, 4, 5, 6, 7]})"), {},
                          "{[1e+00 2e+00 3e+00 4e+00 5e+00 6e+00]}",
                          "[[1e+00 2e+00 3e+00 4e+00 5e+00 6e+00]]");
}

TEST(SpectrumCell, ValueLimitIsNbunchOrAHundredUnlessDumpall) {
    const std::string entry = members(R"({"values": )" + digit_values(150) + "}");
    expect_spectrum_cells(entry, {}, "{[" + digit_texts(100) + "]}", "[[" + digit_texts(100) + "]]",
                          "", {"--nbunch", "0"});
    expect_spectrum_cells(entry, {"-dumpall"}, "{[" + digit_texts(150) + "]}",
                          "[[" + digit_texts(150) + "]]", "", {"--nbunch", "0"});
    expect_spectrum_cells(entry, {}, "{[" + digit_texts(3) + "]}", "[[" + digit_texts(3) + "]]", "",
                          {"--nbunch", "3"});
    expect_spectrum_cells(entry, {"-dumpall"}, "{[" + digit_texts(150) + "]}",
                          "[[" + digit_texts(150) + "]]", "", {"--nbunch", "3"});
}

// Without -dumpall a negative nbunch writes no value; brackets and
// statistics (with their trailing blank) still are.
TEST(SpectrumCell, NegativeNbunchWritesNoValues) {
    const std::string entry =
        members(R"({"values": [1, 2], "stat": {"mask": 1, "val": {"0": 1}}}, {"values": [3]})");
    expect_spectrum_cells(entry, {}, "{[ [0]:1.000000e+00 ]\t[]}", "[[ [0]:1.000000e+00 ][]]", "",
                          {"--nbunch", "-1"});
    expect_spectrum_cells(entry, {"-dumpall"}, "{[ [0]:1.000000e+00 1e+00 2e+00]\t[3e+00]}",
                          "[[ [0]:1.000000e+00 1e+00 2e+00][3e+00]]", "", {"--nbunch", "-1"});
}

// A negative ndata, or an ndata x groups product that wraps in 32 bits to
// zero or a negative count, writes no value even with -dumpall, and the
// zero check reports the count at once.
TEST(SpectrumCell, NegativeOrWrappedValueCountsWriteNoValues) {
    expect_spectrum_cells(members(R"({"ndata": -4, "values": [1]})"), {"-dumpall", "-zerocheck"},
                          "{[]}", "[[]]", "ALL ZEROS for 1 total_data: -4 st: 0\n");
    // Products that wrap in 32 bits are beyond what a recording may carry:
    // unit_hostile_answers.cc hands them to the plug-in directly.
}

// ---- Zero check ----

TEST(SpectrumCell, ZeroCheckReportsMembersWhoseValuesAreAllZero) {
    const std::string entry = members(
        R"({"values": [0, "-0", 0]}, {"values": ["-0", 0, 0.5]}, {"values": [0, "nan", 0]},)"
        R"( {"values": ["-0", "-0"]}, {"ndata": 5, "values": []}, {"values": ["-0", "inf"]})");
    const std::string tab = "{[0e+00 -0e+00 0e+00]\t[-0e+00 0e+00 5e-01]\t[0e+00 Invalid 0e+00]\t"
                            "[-0e+00 -0e+00]\t[0e+00 0e+00 0e+00 0e+00 0e+00]\t[-0e+00 Invalid]}";
    const std::string hdf5 = "[[0e+00 -0e+00 0e+00][-0e+00 0e+00 5e-01][0e+00 Invalid 0e+00]"
                             "[-0e+00 -0e+00][0e+00 0e+00 0e+00 0e+00 0e+00][-0e+00 Invalid]]";
    expect_spectrum_cells(entry, {}, tab, hdf5);
    // The message carries the event number: replay the same entry as event 7.
    std::string rec =
        recording(kSpectrumChannel, {R"({"id": 6, "channels": {}})",
                                     R"({"id": 7, "channels": {"S": )" + entry + "}}"});
    ReplayResult r = run(rec, {"-zerocheck"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, setup_listing({"S"}) +
                         "ALL ZEROS for 7 total_data: 3 st: 0\n"
                         "ALL ZEROS for 7 total_data: 2 st: 0\n"
                         "ALL ZEROS for 7 total_data: 5 st: 0\n" +
                         end_statistics(2, 0, "100.000000", 0));
    EXPECT_EQ(r.file("user_out.txt"), "EventId\tTime\t\t\tS\n"
                                      "[NORMAL]6\t\t0:0\t" +
                                          kIso0 +
                                          "\tNot found\n"
                                          "[NORMAL]7\t\t0:0\t" +
                                          kIso0 + "\t" + tab + "\n");
}

// ---- Integer form ----

// Infinities and NaNs are "Invalid" before the integer form is looked at,
// so the integers with their bit patterns print "Invalid" under -fti.
TEST(SpectrumCell, IntegerFormWritesInvalidForInfinityAndNanPatterns) {
    const std::string entry = members(
        R"({"values": [{"bits": 42}, {"bits": -8388608}, {"bits": -1}, {"bits": 2139095040},)"
        R"( {"bits": 2147483647}, {"bits": 2139095039}, {"bits": -8388609},)"
        R"( {"bits": -2147483648}, 1, "inf", "-nan"]})");
    expect_spectrum_cells(entry, {"-fti", "S"},
                          "{[42 Invalid Invalid Invalid Invalid 2139095039 -8388609 -2147483648 "
                          "1065353216 Invalid Invalid]}",
                          "[[42 Invalid Invalid Invalid Invalid 2139095039 -8388609 -2147483648 "
                          "1065353216 Invalid Invalid]]");
    // The same values in floating-point form: 42 is a subnormal near 5.9e-44,
    // 2139095039 the largest finite float.
    expect_spectrum_cells(
        entry, {"-fti", "X"},
        "{[6e-44 Invalid Invalid Invalid Invalid 3e+38 -3e+38 -0e+00 1e+00 Invalid Invalid]}",
        "[[6e-44 Invalid Invalid Invalid Invalid 3e+38 -3e+38 -0e+00 1e+00 Invalid Invalid]]");
}

// ---- ROI summary ----

// Two lines for a member count of exactly 1 when the ROI query succeeds;
// the value in parentheses is the mean of the ndata1 floats of the ROI's
// array (missing ones are 0), 0 when there are none.
TEST(SpectrumCell, RoiSummaryOnlyForExactlyOneMember) {
    const std::string roi =
        R"("roi": {"w": 640, "h": 480, "mean": 12.5, "max": 255, "sig": 3.25,)"
        R"( "cofm": 100.5, "start1": -1, "inc1": 0.5, "ndata1": 4, "data": [1, 2, 3, 6]})";
    const std::string line = "IMAGE 640x480 MEAN: 12.500000 (3.000000) MAX: 255.000000  SIGMA: "
                             "3.250000 COFM: 100.500000 start:-1.000000 inc:0.500000 ndata:4\n";
    const std::string chan = R"("chan": {"name": "ROINAME"}, )";
    auto small_roi = [](const std::string &w, const std::string &h, const std::string &n,
                        const std::string &data) {
        return R"("roi": {"w": )" + w + R"(, "h": )" + h +
               R"(, "mean": 0, "max": 0, "sig": 0, "cofm": 0, "start1": 0, "inc1": 0, "ndata1": )" +
               n + R"(, "data": )" + data + "}";
    };
    std::string rec = recording(
        kSpectrumChannel,
        {R"({"id": 1, "channels": {"S": {)" + chan + roi + R"(, "members": [{"values": [1]}]}}})",
         R"({"id": 2, "channels": {"S": {)" + chan + roi +
             R"(, "members": [{"values": [1]}, {"values": [2]}]}}})",
         R"({"id": 3, "channels": {"S": {)" + chan + roi + R"(, "members": []}}})",
         R"({"id": 4, "channels": {"S": {)" + chan + R"("members": [{"values": [1]}]}}})",
         R"({"id": 5, "channels": {"S": {)" + chan + roi +
             R"(, "nmemb": -1, "members": [{"values": [1]}]}}})",
         // The ROI query does not depend on the members: it succeeds here
         // while the query for member 0 fails.
         R"({"id": 6, "channels": {"S": {)" + chan + roi + R"(, "nmemb": 1, "members": []}}})",
         R"({"id": 7, "channels": {"S": {)" + small_roi("2", "3", "4", "[2, 4]") +
             R"(, "members": [{"values": [1]}]}}})",
         R"({"id": 8, "channels": {"S": {)" + small_roi("1", "1", "0", "[5]") +
             R"(, "members": [{"values": [1]}]}}})",
         R"({"id": 9, "channels": {"S": {)" + small_roi("1", "1", "-2", "[5]") +
             R"(, "members": [{"values": [1]}]}}})"});
    ReplayResult r = run(rec, {});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              setup_listing({"S"}) + "ROI ROINAME\n" + line + "ROI ROINAME\n" + line +
                  "ROI S\nIMAGE 2x3 MEAN: 0.000000 (1.500000) MAX: 0.000000  SIGMA: 0.000000 COFM: "
                  "0.000000 start:0.000000 inc:0.000000 ndata:4\n"
                  "ROI S\nIMAGE 1x1 MEAN: 0.000000 (0.000000) MAX: 0.000000  SIGMA: 0.000000 COFM: "
                  "0.000000 start:0.000000 inc:0.000000 ndata:0\n"
                  "ROI S\nIMAGE 1x1 MEAN: 0.000000 (0.000000) MAX: 0.000000  SIGMA: 0.000000 COFM: "
                  "0.000000 start:0.000000 inc:0.000000 ndata:-2\n" +
                  end_statistics(9, 0, "100.000000", 0));
    const std::string lead = "\t\t0:0\t" + kIso0 + "\t";
    EXPECT_EQ(r.file("user_out.txt"), "EventId\tTime\t\t\tS\n"
                                      "[NORMAL]1" +
                                          lead +
                                          "{[1e+00]}\n"
                                          "[NORMAL]2" +
                                          lead +
                                          "{[1e+00]\t[2e+00]}\n"
                                          "[NORMAL]3" +
                                          lead +
                                          "{}\n"
                                          "[NORMAL]4" +
                                          lead +
                                          "{[1e+00]}\n"
                                          "[NORMAL]5" +
                                          lead +
                                          "{}\n"
                                          "[NORMAL]6" +
                                          lead +
                                          "{No data\t,}\n"
                                          "[NORMAL]7" +
                                          lead +
                                          "{[1e+00]}\n"
                                          "[NORMAL]8" +
                                          lead +
                                          "{[1e+00]}\n"
                                          "[NORMAL]9" +
                                          lead + "{[1e+00]}\n");

    // With -nodump nothing of the cell happens, the ROI lines included.
    r = run(rec, {"-nodump"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, setup_listing({"S"}) + end_statistics(9, 0, "100.000000", 0));
}

// ---- Parameter capture for the XML description ----

namespace {

// Event 1: two members; event 2: three members of which only the last has
// data; event 3: two members again.
const std::string kEvent1 =
    R"({"id": 1, "channels": {"S": {"members": [{"start": 1.5, "inc": 0.25, "values": [1, 2, 3]},)"
    R"( {"start": -2, "inc": 4, "ndata": 10, "groups": 3, "groups_inc": 0.5, "values": [1]}]}}})";
const std::string kEvent2 =
    R"({"id": 2, "channels": {"S": {"members": [{"fail": true}, {"ndata": 0},)"
    R"( {"start": 7, "inc": 1, "values": [1]}]}}})";
const std::string kEvent3 =
    R"({"id": 3, "channels": {"S": {"members": [{"start": 9, "values": [1]},)"
    R"( {"start": 10, "ndata": -4, "groups": 1}]}}})";

}  // namespace

TEST(SpectrumCapture, TwoMembersThenThreeStartAFreshZeroedArray) {
    ReplayResult r = run(recording(kSpectrumChannel, {kEvent1}), {"-xdump"});
    ASSERT_EQ(r.status, 0) << r.err;
    DescrFile f = read_descr_file(r.dir + "/user_descr.xml");
    ASSERT_TRUE(f.ok) << f.error;
    ASSERT_EQ(f.dims.size(), 1u);
    EXPECT_EQ(f.dims[0].name, "S");
    EXPECT_EQ(f.dims[0].num, 2);
    ASSERT_EQ(f.dims[0].spectra.size(), 2u);
    EXPECT_TRUE(f.dims[0].images.empty());
    expect_spectrum(f.dims[0].spectra[0], 0, 1.5, 0.25, 3, 0, 0);
    expect_spectrum(f.dims[0].spectra[1], 1, -2, 4, 10, 3, 0.5);

    r = run(recording(kSpectrumChannel, {kEvent1, kEvent2}), {"-xdump"});
    ASSERT_EQ(r.status, 0) << r.err;
    f = read_descr_file(r.dir + "/user_descr.xml");
    ASSERT_TRUE(f.ok) << f.error;
    ASSERT_EQ(f.dims.size(), 1u);
    EXPECT_EQ(f.dims[0].num, 3);
    ASSERT_EQ(f.dims[0].spectra.size(), 3u);
    expect_spectrum(f.dims[0].spectra[0], 0, 0, 0, 0, 0, 0);
    expect_spectrum(f.dims[0].spectra[1], 1, 0, 0, 0, 0, 0);
    expect_spectrum(f.dims[0].spectra[2], 2, 7, 1, 1, 0, 0);
}

// Fewer members later overwrite their entries and leave the rest; the
// array does not shrink. A negative ndata is captured as given.
TEST(SpectrumCapture, FewerMembersLaterKeepTheLargerArray) {
    ReplayResult r = run(recording(kSpectrumChannel, {kEvent1, kEvent2, kEvent3}), {"-xdump"});
    ASSERT_EQ(r.status, 0) << r.err;
    DescrFile f = read_descr_file(r.dir + "/user_descr.xml");
    ASSERT_TRUE(f.ok) << f.error;
    ASSERT_EQ(f.dims.size(), 1u);
    EXPECT_EQ(f.dims[0].num, 3);
    ASSERT_EQ(f.dims[0].spectra.size(), 3u);
    expect_spectrum(f.dims[0].spectra[0], 0, 9, 1, 1, 0, 0);
    expect_spectrum(f.dims[0].spectra[1], 1, 10, 1, -4, 1, 0);
    expect_spectrum(f.dims[0].spectra[2], 2, 7, 1, 1, 0, 0);
}

// A sub-channel number above the member count sizes the array.
TEST(SpectrumCapture, SubChannelNumberAboveTheMemberCountSizesTheArray) {
    std::string rec = recording(
        R"([{"name": "S", "sub": 4, "type": 3}])",
        {R"({"id": 1, "channels": {"S:4": {"members": [{"start": 3, "values": [1]}]}}})"});
    ReplayResult r = run(rec, {"-xdump"});
    ASSERT_EQ(r.status, 0) << r.err;
    DescrFile f = read_descr_file(r.dir + "/user_descr.xml");
    ASSERT_TRUE(f.ok) << f.error;
    ASSERT_EQ(f.dims.size(), 1u);
    EXPECT_EQ(f.dims[0].name, "S");
    EXPECT_EQ(f.dims[0].num, 4);
    ASSERT_EQ(f.dims[0].spectra.size(), 4u);
    expect_spectrum(f.dims[0].spectra[0], 0, 3, 1, 1, 0, 0);
    for (int k = 1; k < 4; k++)
        expect_spectrum(f.dims[0].spectra[k], k, 0, 0, 0, 0, 0);
}

// A channel that delivered an image and then a spectrum with more members:
// the image headers grow with `num`, keeping the header captured first.
TEST(SpectrumCapture, ImageThenMoreSpectrumMembersGrowsTheImageHeaders) {
    std::string rec = recording(
        R"([{"name": "X", "type": 3}])",
        {R"({"id": 1, "channels": {"X": {"type": 4, "image": {"bpp": 1, "width": 2, "height": 1,)"
         R"( "pixels": "0aff", "header": {"frame": 5, "scale_x": 0.5, "image_flags": -3}}}}})",
         R"({"id": 2, "channels": {"X": {"members": [{"start": 1, "values": [1]},)"
         R"( {"start": 2, "values": [1, 2]}, {"start": 3, "values": [1, 2, 3]}]}}})"});
    ReplayResult r = run(rec, {"-xdump"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.file("user_out.txt"), "EventId\tTime\t\t\tX\n"
                                      "[NORMAL]1\t\t0:0\t" +
                                          kIso0 +
                                          "\t[10\t255\t]\n"
                                          "[NORMAL]2\t\t0:0\t" +
                                          kIso0 +
                                          "\t{[1e+00]\t[1e+00 2e+00]\t[1e+00 2e+00 3e+00]}\n");
    DescrFile f = read_descr_file(r.dir + "/user_descr.xml");
    ASSERT_TRUE(f.ok) << f.error;
    const DescrDims *d = find_dims(f, "X");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(f.dims.size(), 1u);
    EXPECT_EQ(d->num, 3);
    ASSERT_EQ(d->spectra.size(), 3u);
    expect_spectrum(d->spectra[0], 0, 1, 1, 1, 0, 0);
    expect_spectrum(d->spectra[1], 1, 2, 1, 2, 0, 0);
    expect_spectrum(d->spectra[2], 2, 3, 1, 3, 0, 0);
    ASSERT_EQ(d->images.size(), 3u);
    const char *fields[] = {
        "width",   "height",  "aoi_width",   "aoi_height", "x_start",        "y_start",
        "bpp",     "ebitpp",  "hbin",        "vbin",       "source_format",  "image_format",
        "frame",   "event",   "scale_x",     "scale_y",    "image_rotation", "fspare2",
        "fspare3", "fspare4", "image_flags", "ispare2",    "ispare3",        "ispare4",
        "length"};
    Attrs first{{"index", 0}}, zero1{{"index", 1}}, zero2{{"index", 2}};
    for (const char *fn : fields)
        first[fn] = zero1[fn] = zero2[fn] = 0;
    first["width"] = 2;
    first["height"] = 1;
    first["bpp"] = 1;
    first["length"] = 2;
    first["event"] = 1;
    first["frame"] = 5;
    first["scale_x"] = 0.5;
    first["image_flags"] = -3;
    EXPECT_EQ(d->images[0], first);
    EXPECT_EQ(d->images[1], zero1);
    EXPECT_EQ(d->images[2], zero2);
}

// Without data no capture: a channel whose members all failed or were
// empty, and any spectrum channel under -nodump, give no record.
TEST(SpectrumCapture, NothingCapturedWithoutDataOrUnderNodump) {
    std::string rec = recording(
        R"([{"name": "S", "type": 3}, {"name": "T", "type": 3}])",
        {R"({"id": 1, "channels": {"S": {"members": [{"values": [1]}]}, "T": {"members": [{"fail": true}, {"ndata": 0}]}}})"});
    ReplayResult r = run(rec, {"-xdump"});
    ASSERT_EQ(r.status, 0) << r.err;
    DescrFile f = read_descr_file(r.dir + "/user_descr.xml");
    ASSERT_TRUE(f.ok) << f.error;
    ASSERT_EQ(f.dims.size(), 1u);
    EXPECT_EQ(f.dims[0].name, "S");

    r = run(rec, {"-xdump", "-nodump"});
    ASSERT_EQ(r.status, 0) << r.err;
    f = read_descr_file(r.dir + "/user_descr.xml");
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_TRUE(f.dims.empty());
}
