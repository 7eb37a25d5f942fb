// scenario_values.cc - the cells of marker, single-value, name-value and
// EqData channels, and of data types without a writer, in tab and HDF5
// mode: number forms, the integer form of -fti, -nonvn, missing and long
// item names, and the EqData lines on standard output.
#include <gtest/gtest.h>

#include "replay_harness.h"

namespace {

// One channel V in one event (id 1, time 0): `decl` is the channel's
// declared type, `entry` its JSON entry in the event (empty: no entry).
struct CellCase {
    const char *name;
    int decl;
    std::string entry;
    std::vector<std::string> words;
    std::string tab;   // the cell in tab mode
    std::string hdf5;  // the cell in HDF5 mode
    std::string out;   // what the event adds to standard output
};

// Test names in listings show the case name, not the bytes of the record.
void PrintTo(const CellCase &c, std::ostream *os) {
    *os << c.name;
}

std::string one_channel_run(int decl, const std::string &entry) {
    std::string ev = "{\"id\": 1";
    if (!entry.empty())
        ev += ", \"channels\": {\"V\": " + entry + "}";
    ev += "}";
    // The reader claims two events, so the efficiency is 1 / 0.
    return recording("[{\"name\": \"V\", \"type\": " + std::to_string(decl) + "}]", {ev},
                     "\"events\": 2");
}

std::string item(const std::string &name, const std::string &value) {
    return "[\"" + name + "\", " + value + "]";
}

const std::string n300(300, 'n'), n250(250, 'n'), n246(246, 'n'), n254(254, 'n');

const std::vector<std::string> kFti = {"-fti", "V"};

const std::vector<CellCase> kCases = {
    {"Marker", 1, "{}", {}, "1\t", "1\t", ""},
    {"MarkerIgnoresFti", 1, "{}", kFti, "1\t", "1\t", ""},
    {"SingleHalf", 2, R"({"value": 0.5})", {}, "0.500000\t", "[[0.500000]]", ""},
    {"SingleThreeQuarters", 2, R"({"value": 3.25})", {}, "3.250000\t", "[[3.250000]]", ""},
    {"SingleNegative", 2, R"({"value": -2.5})", {}, "-2.500000\t", "[[-2.500000]]", ""},
    {"SingleWithoutValueIsZero", 2, "{}", {}, "0.000000\t", "[[0.000000]]", ""},
    {"SingleRoundsHalfToEven", 2, R"({"value": 0.0078125})", {}, "0.007812\t", "[[0.007812]]", ""},
    {"SingleLarge",
     2,
     R"({"value": 10000000000})",
     {},
     "10000000000.000000\t",
     "[[10000000000.000000]]",
     ""},
    {"SingleLargestFloat",
     2,
     R"({"value": {"bits": 2139095039}})",
     {},
     "340282346638528859811704183484516925440.000000\t",
     "[[340282346638528859811704183484516925440.000000]]",
     ""},
    {"SingleSmallestSubnormal",
     2,
     R"({"value": {"bits": 1}})",
     {},
     "0.000000\t",
     "[[0.000000]]",
     ""},
    {"SingleNegativeZero", 2, R"({"value": "-0"})", {}, "-0.000000\t", "[[-0.000000]]", ""},
    {"SingleInfinity", 2, R"({"value": "inf"})", {}, "inf\t", "[[inf]]", ""},
    {"SingleNegativeInfinity", 2, R"({"value": "-inf"})", {}, "-inf\t", "[[-inf]]", ""},
    {"SingleNan", 2, R"({"value": "nan"})", {}, "nan\t", "[[nan]]", ""},
    {"SingleNegativeNan", 2, R"({"value": "-nan"})", {}, "-nan\t", "[[-nan]]", ""},
    {"SingleIgnoresNonvn", 2, R"({"value": 0.5})", {"-nonvn"}, "0.500000\t", "[[0.500000]]", ""},
    {"SingleFtiBits42", 2, R"({"value": {"bits": 42}})", kFti, "42\t", "[[42]]", ""},
    {"SingleFtiOne", 2, R"({"value": 1.0})", kFti, "1065353216\t", "[[1065353216]]", ""},
    {"SingleFtiSignBit", 2, R"({"value": {"bits": -2147483648}})", kFti, "-2147483648\t",
     "[[-2147483648]]", ""},
    {"SingleFtiMinusOne", 2, R"({"value": -1.0})", kFti, "-1082130432\t", "[[-1082130432]]", ""},

    {"BlockOfTwo",
     2,
     R"({"items": [["x", 1.0], ["y", 0.25]]})",
     {},
     "\t{[x:1.00e+00]\t[y:2.50e-01]}",
     "[[x:1.00e+00][y:2.50e-01]]",
     ""},
    {"BlockOfOneEndsWithoutTab",
     2,
     R"({"items": [["x", 1.0]]})",
     {},
     "\t{[x:1.00e+00]}",
     "[[x:1.00e+00]]",
     ""},
    {"BlockNonvnDropsNamesAndColons",
     2,
     R"({"items": [["x", 1.0], ["y", 0.25]]})",
     {"-nonvn"},
     "\t{[1.00e+00]\t[2.50e-01]}",
     "[[1.00e+00][2.50e-01]]",
     ""},
    {"BlockFti", 2, R"({"items": [["x", {"bits": 42}], ["y", {"bits": 7}]]})", kFti,
     "\t{[x:42]\t[y:7]}", "[[x:42][y:7]]", ""},
    {"BlockFtiNonvn",
     2,
     R"({"items": [["x", {"bits": 42}], ["y", 1.0], ["z", "-0"]]})",
     {"-nonvn", "-fti", "V"},
     "\t{[42]\t[1065353216]\t[-2147483648]}",
     "[[42][1065353216][-2147483648]]",
     ""},
    {"BlockEmpty", 2, R"({"items": []})", {}, "\t{}", "[]", ""},
    {"BlockNegativeCount", 2, R"({"items": [["x", 1.0]], "count": -3})", {}, "\t{}", "[]", ""},
    {"BlockZeroCount", 2, R"({"items": [["x", 1.0]], "count": 0})", {}, "\t{}", "[]", ""},
    {"BlockNumberForms",
     2,
     R"({"items": [["a", 0.000123], ["b", 1.125], ["c", 9.995], ["d", "-0"], ["e", "inf"],)"
     R"( ["f", "-nan"], ["g", {"bits": 1}], ["h", {"bits": 2139095039}], ["i", 123456789]]})",
     {},
     "\t{[a:1.23e-04]\t[b:1.12e+00]\t[c:9.99e+00]\t[d:-0.00e+00]\t[e:inf]\t[f:-nan]\t"
     "[g:1.40e-45]\t[h:3.40e+38]\t[i:1.23e+08]}",
     "[[a:1.23e-04][b:1.12e+00][c:9.99e+00][d:-0.00e+00][e:inf][f:-nan][g:1.40e-45]"
     "[h:3.40e+38][i:1.23e+08]]",
     ""},
    // Names are written as they come, the comma dialect's separator and
    // brackets included (a tab in a name, which no recording may carry, is
    // in unit_hostile_answers.cc).
    {"BlockNamesAreNotEscaped",
     2,
     R"({"items": [["a,b", 1.0], ["c]d", 2.0]]})",
     {},
     "\t{[a,b:1.00e+00]\t[c]d:2.00e+00]}",
     "[[a,b:1.00e+00][c]d:2.00e+00]]",
     ""},
    // Items the host gives no name for.
    {"BlockNullName",
     2,
     R"({"items": [[null, 0.5]]})",
     {},
     "\t{[(null):5.00e-01]}",
     "[[(null):5.00e-01]]",
     "nm is NULL\n"},
    {"BlockNullNameNonvn",
     2,
     R"({"items": [[null, 0.5]]})",
     {"-nonvn"},
     "\t{[5.00e-01]}",
     "[[5.00e-01]]",
     "nm is NULL\n"},
    {"BlockNullNameFtiHasNoMessage", 2, R"({"items": [[null, {"bits": 42}]]})", kFti,
     "\t{[(null):42]}", "[[(null):42]]", ""},
    {"BlockCountBeyondItems",
     2,
     R"({"items": [["x", 1.0]], "count": 3})",
     {},
     "\t{[x:1.00e+00]\t[(null):0.00e+00]\t[(null):0.00e+00]}",
     "[[x:1.00e+00][(null):0.00e+00][(null):0.00e+00]]",
     "nm is NULL\nnm is NULL\n"},
    {"BlockCountBeyondItemsFti", 2, R"({"items": [["x", {"bits": 5}]], "count": 2})", kFti,
     "\t{[x:5]\t[(null):0]}", "[[x:5][(null):0]]", ""},
    // Item texts are cut to 255 characters.
    {"BlockLongNameIsCut",
     2,
     "{\"items\": [" + item(n300, "1.0") + "]}",
     {},
     "\t{[" + std::string(255, 'n') + "]}",
     "[[" + std::string(255, 'n') + "]]",
     ""},
    {"BlockLongNameCutsTheValue",
     2,
     "{\"items\": [" + item(n250, "1.0") + "]}",
     {},
     "\t{[" + n250 + ":1.00]}",
     "[[" + n250 + ":1.00]]",
     ""},
    {"BlockNameFillsTheScratch",
     2,
     "{\"items\": [" + item(n246, "1.0") + "]}",
     {},
     "\t{[" + n246 + ":1.00e+00]}",
     "[[" + n246 + ":1.00e+00]]",
     ""},
    {"BlockLongNameIsCutFti", 2, "{\"items\": [" + item(n300, "{\"bits\": 1}") + "]}", kFti,
     "\t{[" + std::string(255, 'n') + "]}", "[[" + std::string(255, 'n') + "]]", ""},
    {"BlockLongNameCutsTheValueFti", 2, "{\"items\": [" + item(n254, "{\"bits\": 12345}") + "]}",
     kFti, "\t{[" + n254 + ":]}", "[[" + n254 + ":]]", ""},

    // EqData: only standard output, an empty cell.
    {"EqDataFloat",
     5,
     R"({"eq": {"type": 2, "values": [1.5, 2, -3.25]}})",
     {},
     "",
     "",
     "EqData type FLOAT\n  values: 1.5 2 -3.25\n"},
    {"EqDataNull",
     5,
     R"({"eq": {"type": 0, "values": []}})",
     {},
     "",
     "",
     "EqData type NULL\n  values:\n"},
    {"EqDataString",
     5,
     R"({"eq": {"type": 4, "values": [7]}})",
     {},
     "",
     "",
     "EqData type STRING\n  values: 7\n"},
    {"EqDataUnknownType",
     5,
     R"({"eq": {"type": 9, "values": [0.25]}})",
     {},
     "",
     "",
     "EqData type UNKNOWN\n  values: 0.25\n"},
    {"EqDataFailure",
     5,
     R"({"eq": {"type": 1, "values": [1], "fail": true}})",
     {},
     "",
     "",
     "!!!Failed to extract data of type EqData!!!\n"},
    {"EqDataMissing", 5, "{}", {}, "", "", "!!!Failed to extract data of type EqData!!!\n"},

    // No writer for these codes.
    {"CodeZero", 0, "{}", {}, "Not found", "[]", ""},
    {"CodeNegative", -1, "{}", {}, "Not found", "[]", ""},
    {"CodeSix", 6, "{}", {}, "Not found", "[]", ""},
    {"CodeLarge", 2, R"({"type": 99})", {}, "Not found", "[]", ""},
    {"ChannelMissingFromTheEvent", 2, "", {}, "Not found", "[]", ""},
};

class Cell : public ::testing::TestWithParam<CellCase> {};

TEST_P(Cell, ComesOutInBothModes) {
    const CellCase &c = GetParam();
    std::string rec = one_channel_run(c.decl, c.entry);
    const std::string out = setup_listing({"V"}) + c.out + end_statistics(2, 0, "inf", 0);

    ReplayResult r = replay(rec, c.words);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.file("user_out.txt"),
              "EventId\tTime\t\t\tV\n[NORMAL]1\t\t0:0\t1970-01-01T00:00:00Z\t" + c.tab + "\n");

    std::vector<std::string> words = c.words;
    words.push_back("-hdf5");
    r = replay(rec, words);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.file("user_out.txt"),
              "EventId,Time,TimeISO,V\n1,0:0,1970-01-01T00:00:00Z," + c.hdf5 + "\n");
}

INSTANTIATE_TEST_SUITE_P(Values, Cell, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<CellCase> &info) {
                             return std::string(info.param.name);
                         });

}  // namespace

// Cells between other channels: the single value's own tab and the
// separator make two tabs; the EqData lines come once per event, in
// channel order.
TEST(Values, CellsSitBetweenSeparatorsEventAfterEvent) {
    std::string rec = recording(
        R"([{"name": "E1", "type": 5}, {"name": "V"}, {"name": "E2", "type": 5}])",
        {R"({"id": 1, "channels": {"E1": {"eq": {"type": 1, "values": [1]}}, "V": {"value": 1},)"
         R"( "E2": {"eq": {"type": 3, "values": [2]}}}})",
         R"({"id": 2, "channels": {"E1": {"eq": {"type": 5, "values": []}}, "V": {"value": 2},)"
         R"( "E2": {}}})"});
    const std::string out = setup_listing({"E1", "V", "E2"}) +
                            "EqData type INT\n  values: 1\nEqData type DOUBLE\n  values: 2\n"
                            "EqData type ARRAY\n  values:\n"
                            "!!!Failed to extract data of type EqData!!!\n" +
                            end_statistics(2, 0, "100.000000", 0);
    ReplayResult r = replay(rec, {"-evstat"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.file("user_out.txt"), "EventId\tTime\t\t\tE1\tV\tE2\n"
                                      "[NORMAL]1\t\t0:0\t1970-01-01T00:00:00Z\t\t1.000000\t\t\n"
                                      "[NORMAL]2\t\t0:0\t1970-01-01T00:00:00Z\t\t2.000000\t\t\n");
    EXPECT_EQ(r.file("user_evids.txt"), "Chan:E1\t1,2\nChan:V\t1,2\nChan:E2\t1,2\n");

    r = replay(rec, {"-hdf5"});
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.file("user_out.txt"), "EventId,Time,TimeISO,E1,V,E2\n"
                                      "1,0:0,1970-01-01T00:00:00Z,,[[1.000000]],\n"
                                      "2,0:0,1970-01-01T00:00:00Z,,[[2.000000]],\n");
}
