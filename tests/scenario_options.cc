// scenario_options.cc - the plug-in's option words and its usage text, seen
// through korvel-replay: which word sets what, which argument words are
// taken, the one fatal option error, and the sixteen usage lines.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>

#include <cstring>

#include "replay_harness.h"

namespace {

// The plug-in's usage text, line for line.
const std::string kUsage =
    "-out file -zerocheck -imbin  -evstat -nodump -dumpall -nostat -nonvn -hdf5  -imdump  dir -fti LOC -xdump xfile\n"
    "file       -  file name to dump (default ./user_out.txt)\n"
    "-zerocheck  -  sets checcks for all ZEROs in spectra \n"
    "-imbin     -  dump image(s) to binary file(s) \n"
    "-evstat     -  dump event IDs for every channel \n"
    "-nodump - don't dump data to the file \n"
    "-dumpall - dump all  data values  to the file (spectrum) \n"
    "-nostat   - no statistsics info for spectrum\n"
    "-nonvn - no names for value name data\n"
    "-hdf5      - make a file for HDF5 conversion\n"
    "-imdump     -  dump image(s) to file(s) \n"
    "dir        -  directory to dump images (./ if not set) \n"
    "-fti           -  convert data from float to int for a list of channels \n"
    "LOC        -  list of channels for which make float to int conversion (separated with ; or :)\n"
    "-xdump    - dump XML description file for processes channels\n"
    "xfile       - file name to dump the  XML description file (default ./user_descr.xml)\n";

const std::string kFtiFatal = "No channels list is provided for float to int conversion\n" + kUsage;

// One data-type-1 channel A and one event: the smallest complete run. The
// reader claims two events, so the efficiency is 1 / 0.
const std::string kOneMarker = recording("[{\"name\": \"A\", \"type\": 1}]",
                                         {R"({"id": 3, "channels": {"A": {}}})"}, "\"events\": 2");
const std::string kOneMarkerOut = setup_listing({"A"}) + end_statistics(2, 0, "inf", 0);
const std::string kTabTable = "EventId\tTime\t\t\tA\n"
                              "[NORMAL]3\t\t0:0\t1970-01-01T00:00:00Z\t1\t\n";
const std::string kHdf5Table = "EventId,Time,TimeISO,A\n"
                               "3,0:0,1970-01-01T00:00:00Z,1\t\n";

// Two single-value channels X and Y holding 1.0: written 1.000000, or
// 1065353216 (the bits of 1.0) when listed for integer form.
const std::string kTwoValues = recording(
    "[{\"name\": \"X\"}, {\"name\": \"Y\"}]",
    {R"({"id": 1, "channels": {"X": {"value": 1.0}, "Y": {"value": 1.0}}})"}, "\"events\": 2");
std::string two_values_table(const std::string &x, const std::string &y) {
    return "EventId\tTime\t\t\tX\tY\n"
           "[NORMAL]1\t\t0:0\t1970-01-01T00:00:00Z\t" +
           x + "\t\t" + y + "\t\n";
}

// A run with one 8-bit image channel CAM (two pixels 0x0a 0xff, event 7 at
// 100 s 5 us), for the image directory options together with -imbin, whose
// file name does not depend on the time.
const std::string kImage = recording(
    "[{\"name\": \"CAM\", \"type\": 4}]",
    {R"({"id": 7, "time": [100, 5], "channels": {"CAM": {"image": {"bpp": 1, "width": 2, "height": 1, "pixels": "0aff"}}}})"});
const std::string kImageRecord = std::string("7 100 5\n2 1 1\n") + "\x0a\xff";

// An existing directory with nothing in it.
bool is_empty_dir(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && dir_entries(path).empty();
}

}  // namespace

TEST(Usage, HelpPrintsTheReplayUsageThenTheSixteenLines) {
    ReplayResult r = replay_args({"--help"});
    EXPECT_EQ(r.status, 0);
    ASSERT_GT(r.out.size(), kUsage.size());
    EXPECT_EQ(r.out.substr(r.out.size() - kUsage.size()), kUsage);
}

// -fti followed by a word with a '-' anywhere in it ends the process with
// status 1 after the message and the usage text, before anything else is
// printed or opened. Words not taken by -xdump and -imdump are compared
// with the options in their turn, so they can reach this case too.
TEST(Options, FtiFollowedByAHyphenWordEndsTheProcessWithStatusOne) {
    const std::vector<std::vector<std::string>> cases = {
        {"-fti", "-hdf5"},          {"-fti", "A-B"},
        {"-hdf5", "-fti", "-"},     {"-xdump", "-fti", "-nodump"},
        {"-imdump", "-fti", "x-y"},
    };
    for (auto &words : cases) {
        SCOPED_TRACE(words[0] + " " + words[1]);
        ReplayResult r = replay(kOneMarker, words);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, kFtiFatal);
        EXPECT_FALSE(r.exists("user_out.txt"));
    }
}

TEST(Options, FtiAsTheLastWordChangesNothingSilently) {
    ReplayResult r = replay(kTwoValues, {"-fti"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, setup_listing({"X", "Y"}) + end_statistics(2, 0, "inf", 0));
    EXPECT_EQ(r.file("user_out.txt"), two_values_table("1.000000", "1.000000"));
}

TEST(Options, FtiGivenTwiceKeepsTheLaterList) {
    ReplayResult r = replay(kTwoValues, {"-fti", "X", "-fti", "Y"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("user_out.txt"), two_values_table("1.000000", "1065353216"));
}

// -out takes the next word without looking at it.
TEST(Options, OutTakesTheNextWordWhateverItHolds) {
    ReplayResult r = replay(kOneMarker, {"-out", "-nodump"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("-nodump"), kTabTable);
    EXPECT_FALSE(r.exists("user_out.txt"));

    r = replay(kOneMarker, {"-out", "-fti", "-hdf5"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("-fti"), kHdf5Table);
}

TEST(Options, OutGivenTwiceKeepsTheLaterName) {
    ReplayResult r = replay(kOneMarker, {"-out", "a.txt", "-out", "b.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("b.txt"), kTabTable);
    EXPECT_FALSE(r.exists("a.txt"));
    EXPECT_FALSE(r.exists("user_out.txt"));
}

TEST(Options, OutAsTheLastWordKeepsTheDefaultName) {
    ReplayResult r = replay(kOneMarker, {"-hdf5", "-out"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("user_out.txt"), kHdf5Table);
}

// Matching is exact over the whole word and case-sensitive; words that
// match nothing are skipped without a message.
TEST(Options, WordsThatOnlyResembleOptionsAreSkippedSilently) {
    ReplayResult r =
        replay(kOneMarker, {"-hdf55", "-hdf", "-HDF5", "hdf5", "--hdf5", "-nodumpx", "nodump",
                            "-Nodump", "-outx", "-ft", "-ftix", "evstat", "-evstat "});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kOneMarkerOut);
    EXPECT_EQ(r.file("user_out.txt"), kTabTable);
    EXPECT_FALSE(r.exists("user_evids.txt"));
}

TEST(Options, FlagsTakeNoArgumentWord) {
    // "-evstat" does not swallow "-hdf5"; a non-option word between flags is
    // skipped.
    ReplayResult r = replay(kOneMarker, {"-evstat", "-hdf5", "word", "-nonvn"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("user_out.txt"), kHdf5Table);
    EXPECT_EQ(r.file("user_evids.txt"), "Chan:A\t3\n");
}

TEST(Options, ImdumpTakesADirectoryWordWithoutHyphen) {
    std::string dir = make_temp_dir();
    ASSERT_EQ(mkdir((dir + "/imgs").c_str(), 0755), 0);
    ReplayResult r = run_in(dir, kImage, {"-imdump", "imgs", "-imbin"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("imgs/CAM.bin"), kImageRecord);
    EXPECT_FALSE(r.exists("CAM.bin"));
    EXPECT_EQ(r.file("user_out.txt"), "EventId\tTime\t\t\tCAM\n"
                                      "[NORMAL]7\t\t100:5\t1970-01-01T00:01:40Z\t[10\t255\t]\n");
}

// A directory word with a '-' is not taken: imdir stays "./" and the word
// is skipped as an unknown word.
TEST(Options, ImdumpKeepsTheCurrentDirectoryForAHyphenWord) {
    std::string dir = make_temp_dir();
    ASSERT_EQ(mkdir((dir + "/my-dir").c_str(), 0755), 0);
    ReplayResult r = run_in(dir, kImage, {"-imdump", "my-dir", "-imbin"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("CAM.bin"), kImageRecord);
    EXPECT_TRUE(is_empty_dir(dir + "/my-dir"));
}

TEST(Options, ImdumpFollowedByAnOptionSetsBoth) {
    ReplayResult r = replay(kImage, {"-imdump", "-hdf5", "-imbin"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("CAM.bin"), kImageRecord);
    EXPECT_EQ(r.file("user_out.txt"), "EventId,Time,TimeISO,CAM\n"
                                      "7,100:5,1970-01-01T00:01:40Z,[[10 255]]\n");
}

TEST(Options, ImdumpAsTheLastWordDumpsIntoTheCurrentDirectory) {
    ReplayResult r = replay(kImage, {"-imbin", "-imdump"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("CAM.bin"), kImageRecord);
}

TEST(Options, XdumpTakesAFileWordWithoutHyphen) {
    ReplayResult r = replay(kOneMarker, {"-xdump", "d.xml"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("d.xml").rfind("<?xml", 0), 0u);
    EXPECT_FALSE(r.exists("user_descr.xml"));
}

TEST(Options, XdumpKeepsTheDefaultFileOtherwise) {
    // As the last word.
    ReplayResult r = replay(kOneMarker, {"-xdump"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file("user_descr.xml").rfind("<?xml", 0), 0u);

    // Followed by a word with a '-': the word is skipped.
    r = replay(kOneMarker, {"-xdump", "my-d.xml"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.exists("user_descr.xml"));
    EXPECT_FALSE(r.exists("my-d.xml"));
    EXPECT_EQ(r.file("user_out.txt"), kTabTable);

    // Followed by an option: both are set.
    r = replay(kOneMarker, {"-xdump", "-hdf5"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.exists("user_descr.xml"));
    EXPECT_EQ(r.file("user_out.txt"), kHdf5Table);
}
