// scenario_image.cc - image cells and image files through korvel-replay:
// pixel lists in both dialects, the cells of failed or odd images, the
// PGM / raw / PPM files and .bin records written with -imdump, and the
// frame headers captured for the XML description.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "replay_harness.h"

namespace {

const std::string kIso0 = "1970-01-01T00:00:00Z";
const std::string kCamChannel = R"([{"name": "CAM", "type": 4}])";

// Mon 7 Dec 2026 14:35:23 UTC: 20794 days after 1 Jan 1970 (56 years with
// 14 leap days, 334 days to 1 Dec, 6 more), plus 14 h 35 min 23 s.
const std::string kDec7 = std::to_string(20794LL * 86400 + 14 * 3600 + 35 * 60 + 23);
const std::string kDec7Iso = "2026-12-07T14:35:23Z";
const std::string kDec7Name = "Mon_Dec__7_14:35:23_2026";
const std::string kEpochName = "Thu_Jan__1_00:00:00_1970";

// One event (id 1, time 0) in which CAM holds `image`; the reader claims
// two events, so the efficiency is 1 / 0.
std::string one_image(const std::string &image) {
    return recording(kCamChannel, {R"({"id": 1, "channels": {"CAM": {"image": )" + image + "}}}"},
                     "\"events\": 2");
}
std::string tab_table(const std::string &cell) {
    return one_cell_table("CAM", cell, false);
}
std::string one_event_out(const std::string &messages) {
    return one_cell_output("CAM", messages);
}

// The cells of `image` in both dialects, and what the run printed.
void expect_image_cells(const std::string &image, const std::string &tab, const std::string &hdf5,
                        const std::string &messages = "") {
    expect_cells("CAM", one_image(image), {}, tab, hdf5, messages);
}

// What the run directory holds besides the recording and the table.
std::vector<std::string> run_files(const ReplayResult &r) {
    std::vector<std::string> names;
    for (auto &n : dir_entries(r.dir))
        if (n != "run.jsonl" && n != "user_out.txt")
            names.push_back(n);
    return names;
}

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b)
        s.push_back((char)c);
    return s;
}

using Attrs = std::map<std::string, double>;

// A frame header as the XML file shows it: every field 0 but those given.
Attrs header(int index, const Attrs &set) {
    static const char *fields[] = {
        "width",   "height",  "aoi_width",   "aoi_height", "x_start",        "y_start",
        "bpp",     "ebitpp",  "hbin",        "vbin",       "source_format",  "image_format",
        "frame",   "event",   "scale_x",     "scale_y",    "image_rotation", "fspare2",
        "fspare3", "fspare4", "image_flags", "ispare2",    "ispare3",        "ispare4",
        "length"};
    Attrs a{{"index", index}};
    for (const char *f : fields)
        a[f] = 0;
    for (auto &kv : set) {
        EXPECT_TRUE(a.count(kv.first)) << kv.first;
        a[kv.first] = kv.second;
    }
    return a;
}

}  // namespace

// ---- Pixel lists ----

TEST(ImageCell, EightBitPixelsAreUnsignedBytes) {
    expect_image_cells(R"({"bpp": 1, "width": 4, "height": 1, "pixels": "001180ff"})",
                       "[0\t17\t128\t255\t]", "[[0 17 128 255]]");
    // Rows follow each other; a single pixel still ends with its tab.
    expect_image_cells(R"({"bpp": 1, "width": 2, "height": 2, "pixels": "7f80fe01"})",
                       "[127\t128\t254\t1\t]", "[[127 128 254 1]]");
    expect_image_cells(R"({"bpp": 1, "width": 1, "height": 1, "pixels": "05"})", "[5\t]", "[[5]]");
}

// The first byte of each word is the high byte: 01 02 is 258.
TEST(ImageCell, SixteenBitPixelsTakeTheFirstByteAsHigh) {
    expect_image_cells(R"({"bpp": 2, "width": 2, "height": 1, "pixels": "0102fffe"})",
                       "[258\t65534\t]", "[[258 65534]]");
    expect_image_cells(R"({"bpp": 2, "width": 4, "height": 1, "pixels": "7fff800000010100"})",
                       "[32767\t32768\t1\t256\t]", "[[32767 32768 1 256]]");
}

// An odd length: two words, the last byte is left out.
TEST(ImageCell, OddLengthDropsTheLastByte) {
    expect_image_cells(R"({"bpp": 2, "width": 2, "height": 1, "len": 5, "pixels": "0102fffe7f"})",
                       "[258\t65534\t]", "[[258 65534]]");
}

TEST(ImageCell, NoPixelsGiveBracketsOnly) {
    expect_image_cells(R"({"bpp": 1, "width": 0, "height": 0})", "[]", "[[]]");
    expect_image_cells(R"({"bpp": 2, "width": 0, "height": 0, "len": 1, "pixels": "ff"})", "[]",
                       "[[]]");
}

// Three and four bytes per pixel: an empty cell, so the separator follows
// the preceding one at once.
TEST(ImageCell, ThreeAndFourBytesPerPixelGiveAnEmptyCell) {
    std::string rec = recording(
        R"([{"name": "C3", "type": 4}, {"name": "C4", "type": 4}, {"name": "M", "type": 1}])",
        {R"({"id": 1, "channels": {"C3": {"image": {"bpp": 3, "width": 2, "height": 1, "pixels": "112233445566"}},)"
         R"( "C4": {"image": {"bpp": 4, "width": 1, "height": 1, "pixels": "01020304"}}, "M": {}}})"},
        "\"events\": 2");
    ReplayResult r = run(rec, {});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, setup_listing({"C3", "C4", "M"}) + end_statistics(2, 0, "inf", 0));
    EXPECT_EQ(r.file("user_out.txt"),
              "EventId\tTime\t\t\tC3\tC4\tM\n[NORMAL]1\t\t0:0\t" + kIso0 + "\t\t\t1\t\n");
    r = run(rec, {"-hdf5"});
    EXPECT_EQ(r.file("user_out.txt"), "EventId,Time,TimeISO,C3,C4,M\n1,0:0," + kIso0 + ",,,1\t\n");
    expect_image_cells(R"({"bpp": 3, "width": 1, "height": 1, "pixels": "010203"})", "", "");
}

TEST(ImageCell, OtherPixelSizesAreReportedAndLeaveTheCellEmpty) {
    expect_image_cells(R"({"bpp": 0, "width": 2, "height": 1, "len": 4, "pixels": "01020304"})", "",
                       "", "Invalid bpp:0 for CAM\n");
    expect_image_cells(R"({"bpp": 7, "width": 1, "height": 1, "pixels": "01020304050607"})", "", "",
                       "Invalid bpp:7 for CAM\n");
    expect_image_cells(R"({"bpp": -1, "width": 1, "height": 1, "len": 4, "pixels": "01020304"})",
                       "", "", "Invalid bpp:-1 for CAM\n");
}

TEST(ImageCell, FailedParametersOrSizeMismatchGiveMarkerCells) {
    expect_image_cells(R"({"fail": true})", "No Image\t", "[]");
    expect_image_cells(R"({"bpp": 1, "width": 2, "height": 2, "pixels": "01020304", "size": 3})",
                       "Invalid Image\t", "[]");
}

// ---- Image files ----

// Nothing is written and nothing captured for an image without parameters
// or whose size disagrees with its length, nor for any image under -nodump.
TEST(ImageFiles, NoFileForFailedImagesOrUnderNodump) {
    for (const std::string image :
         {R"({"fail": true})",
          R"({"bpp": 1, "width": 2, "height": 2, "pixels": "01020304", "size": 5})"}) {
        SCOPED_TRACE(image);
        ReplayResult r = run(one_image(image), {"-imdump", "-imbin", "-xdump"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(run_files(r), std::vector<std::string>{"user_descr.xml"});
        DescrFile f = read_descr_file(r.dir + "/user_descr.xml");
        ASSERT_TRUE(f.ok) << f.error;
        EXPECT_TRUE(f.dims.empty());
        r = run(one_image(image), {"-imdump"});
        EXPECT_TRUE(run_files(r).empty());
    }
    const std::string good = R"({"bpp": 1, "width": 2, "height": 1, "pixels": "0102"})";
    ReplayResult r = run(one_image(good), {"-nodump", "-imdump", "-imbin", "-xdump"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, one_event_out(""));
    EXPECT_EQ(run_files(r), std::vector<std::string>{"user_descr.xml"});
    DescrFile f = read_descr_file(r.dir + "/user_descr.xml");
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_TRUE(f.dims.empty());
    r = run(one_image(good), {"-imdump", "-nodump"});
    EXPECT_TRUE(run_files(r).empty());
}

// One file per image, named after the bare channel name (slashes to '_'),
// the event number, the event's time in UTC and the milliseconds. The time
// is the event header's, not the image block's or the channel block's.
// The 16-bit file holds the words as the camera delivered them.
TEST(ImageFiles, FilesNamedAfterChannelEventAndEventTime) {
    std::string rec = recording(
        R"([{"name": "CAM/G", "type": 4}, {"name": "W", "type": 4}, {"name": "C", "sub": 1, "type": 4},)"
        R"( {"name": "Q", "type": 4}])",
        {R"({"id": 1234, "time": [)" + kDec7 +
         R"(, 123456], "image_block": {"time": [100, 7]},)"
         R"( "channels": {"CAM/G": {"block": {"time": [5, 5]}, "image": {"bpp": 1, "width": 2, "height": 2, "pixels": "00ff7f80"}},)"
         R"( "W": {"image": {"bpp": 2, "width": 2, "height": 1, "pixels": "01028000"}},)"
         R"( "C:1": {"image": {"bpp": 3, "width": 2, "height": 1, "pixels": "112233445566"}},)"
         R"( "Q": {"image": {"bpp": 4, "width": 1, "height": 1, "pixels": "01020304"}}}})"},
        "\"events\": 2");
    ReplayResult r = run(rec, {"-imdump", "imgs"}, {}, {"imgs"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("grab:"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, setup_listing({"CAM/G", "W", "C:1", "Q"}) + end_statistics(2, 0, "inf", 0));
    EXPECT_EQ(
        r.file("user_out.txt"),
        "EventId\tTime\t\t\tCAM/G\tW\tC:1\tQ\n"
        "[NORMAL]1234\t\t100:7\t1970-01-01T00:01:40Z\t[0\t255\t127\t128\t]\t[258\t32768\t]\t\t\n");
    const std::string suffix = "_1234_" + kDec7Name + "_123";
    const std::string g = "CAM_G" + suffix + ".pgm", w = "W" + suffix + ".raw",
                      c = "C" + suffix + ".ppm";
    std::vector<std::string> expected{g, w, c};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(dir_entries(r.dir + "/imgs"), expected);
    EXPECT_EQ(r.file("imgs/" + g), "P5\n2 2\n255\n" + bytes({0x00, 0xff, 0x7f, 0x80}));
    EXPECT_EQ(r.file("imgs/" + w), "2 1 2\n" + bytes({0x01, 0x02, 0x80, 0x00}));
    EXPECT_EQ(r.file("imgs/" + c), "P6\n2 1\n255\n" + bytes({0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
}

// The documented example, in the default directory.
TEST(ImageFiles, DefaultDirectoryExampleName) {
    std::string rec = recording(
        R"([{"name": "CAM/A", "type": 4}])",
        {R"({"id": 1234, "time": [)" + kDec7 +
         R"(, 123456], "channels": {"CAM/A": {"image": {"bpp": 1, "width": 1, "height": 1, "pixels": "2a"}}}})"});
    ReplayResult r = run(rec, {"-imdump"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(run_files(r), std::vector<std::string>{"CAM_A_1234_" + kDec7Name + "_123.pgm"});
    EXPECT_EQ(r.file("CAM_A_1234_" + kDec7Name + "_123.pgm"), "P5\n1 1\n255\n*");
    EXPECT_EQ(r.file("user_out.txt"), "EventId\tTime\t\t\tCAM/A\n[NORMAL]1234\t\t" + kDec7 +
                                          ":123456\t" + kDec7Iso + "\t[42\t]\n");
}

// Event numbers and seconds of 2^31 and more are signed in names and
// records alike.
TEST(ImageFiles, LargeEventNumbersAreNegativeInNamesAndRecords) {
    std::string rec = recording(
        kCamChannel,
        {R"({"id": 2147483648, "time": [3000000000, 999999], "channels": {"CAM": {"image": {"bpp": 1, "width": 2, "height": 1, "pixels": "0aff"}}}})",
         R"({"id": 4294967295, "time": [0, 999], "channels": {"CAM": {"image": {"bpp": 1, "width": 1, "height": 1, "pixels": "01"}}}})"});
    ReplayResult r = run(rec, {"-imdump", "-imbin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.file("CAM.bin"), "-2147483648 -1294967296 999999\n2 1 1\n" + bytes({0x0a, 0xff}) +
                                     "-1 0 999\n1 1 1\n" + bytes({0x01}));
    std::string rec2 = recording(
        kCamChannel,
        {R"({"id": 4294967295, "time": [0, 999], "channels": {"CAM": {"image": {"bpp": 1, "width": 1, "height": 1, "pixels": "01"}}}})",
         R"({"id": 2147483648, "time": [0, 5000], "channels": {"CAM": {"image": {"bpp": 1, "width": 1, "height": 1, "pixels": "02"}}}})"});
    r = run(rec2, {"-imdump"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(run_files(r), (std::vector<std::string>{"CAM_-1_" + kEpochName + "_0.pgm",
                                                      "CAM_-2147483648_" + kEpochName + "_5.pgm"}));
}

// Two images of a channel give two records in its .bin file, appended to
// what it held; the 16-bit record holds the bytes before the swap.
TEST(ImageFiles, BinFileGetsOneRecordPerImage) {
    std::string rec = recording(
        R"([{"name": "CAM/A", "type": 4}, {"name": "W", "type": 4}])",
        {R"({"id": 1, "time": [10, 20], "channels": {"CAM/A": {"image": {"bpp": 1, "width": 3, "height": 1, "pixels": "0a0d20"}},)"
         R"( "W": {"image": {"bpp": 2, "width": 1, "height": 1, "pixels": "0102"}}}})",
         R"({"id": 2, "time": [11, 21], "channels": {"CAM/A": {"image": {"bpp": 1, "width": 1, "height": 2, "pixels": "ff00"}}}})"});
    ReplayRun run_;
    run_.recording = rec;
    run_.words = {"-imdump", "-imbin"};
    run_.dir = make_temp_dir();
    write_file(run_.dir + "/CAM_A.bin", "older run\n");
    ReplayResult r = replay(run_);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.file("CAM_A.bin"), "older run\n"
                                   "1 10 20\n3 1 1\n" +
                                       bytes({0x0a, 0x0d, 0x20}) + "2 11 21\n1 2 1\n" +
                                       bytes({0xff, 0x00}));
    EXPECT_EQ(r.file("W.bin"), "1 10 20\n1 1 2\n" + bytes({0x01, 0x02}));
    EXPECT_EQ(r.file("user_out.txt"),
              "EventId\tTime\t\t\tCAM/A\tW\n"
              "[NORMAL]1\t\t10:20\t1970-01-01T00:00:10Z\t[10\t13\t32\t]\t[258\t]\n"
              "[NORMAL]2\t\t11:21\t1970-01-01T00:00:11Z\t[255\t0\t]\tNot found\n");
}

// With -imbin every pixel size gives a record, also those the cell
// reports as invalid.
TEST(ImageFiles, BinRecordsForAnyPixelSize) {
    std::string rec = recording(
        R"([{"name": "A", "type": 4}, {"name": "B", "type": 4}, {"name": "C", "type": 4}])",
        {R"({"id": 3, "time": [4, 5], "channels": {"A": {"image": {"bpp": 4, "width": 2, "height": 1, "pixels": "0102030405060708"}},)"
         R"( "B": {"image": {"bpp": 7, "width": 1, "height": 1, "pixels": "41424344454647"}},)"
         R"( "C": {"image": {"bpp": 0, "width": 2, "height": 1, "len": 2, "pixels": "4142"}}}})"},
        "\"events\": 2");
    ReplayResult r = run(rec, {"-imdump", "-imbin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, setup_listing({"A", "B", "C"}) + "Invalid bpp:7 for B\nInvalid bpp:0 for C\n" +
                         end_statistics(2, 0, "inf", 0));
    EXPECT_EQ(r.file("A.bin"), "3 4 5\n2 1 4\n" + bytes({1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(r.file("B.bin"), "3 4 5\n1 1 7\nABCDEFG");
    EXPECT_EQ(r.file("C.bin"), "3 4 5\n2 1 0\n");
    // Without -imbin these sizes write nothing and report nothing.
    r = run(rec, {"-imdump"});
    EXPECT_EQ(r.out, setup_listing({"A", "B", "C"}) + "Invalid bpp:7 for B\nInvalid bpp:0 for C\n" +
                         end_statistics(2, 0, "inf", 0));
    EXPECT_TRUE(run_files(r).empty());
}

// A channel with a sub-channel number hands its bare name to the file
// writer and to the messages.
TEST(ImageFiles, SubChannelGivesTheBareNameToTheWriter) {
    std::string rec = recording(
        R"([{"name": "CAM/A", "sub": 2, "type": 4}])",
        {R"({"id": 1, "channels": {"CAM/A:2": {"image": {"bpp": 1, "width": 1, "height": 1, "pixels": "09"}}}})",
         R"({"id": 2, "channels": {"CAM/A:2": {"image": {"bpp": 9, "width": 1, "height": 1, "pixels": "090909090909090909"}}}})"});
    ReplayResult r = run(rec, {"-imdump", "-imbin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, setup_listing({"CAM/A:2"}) + "Invalid bpp:9 for CAM/A\n" +
                         end_statistics(2, 0, "100.000000", 0));
    EXPECT_EQ(run_files(r), std::vector<std::string>{"CAM_A.bin"});
    r = run(rec, {"-imdump"});
    EXPECT_EQ(run_files(r), std::vector<std::string>{"CAM_A_1_" + kEpochName + "_0.pgm"});
}

// Every blank of the name becomes '_', the directory's included: the
// directory word "my dir" leads to "my_dir".
TEST(ImageFiles, BlanksOfTheDirectoryBecomeUnderscores) {
    std::string rec = recording(
        R"([{"name": "CAM/A", "type": 4}])",
        {R"({"id": 5, "time": [1, 2], "channels": {"CAM/A": {"image": {"bpp": 1, "width": 1, "height": 1, "pixels": "07"}}}})"},
        "\"events\": 2");
    ReplayResult r = run(rec, {"-imdump", "my dir", "-imbin"}, {}, {"my dir", "my_dir"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(dir_entries(r.dir + "/my dir").empty());
    EXPECT_EQ(r.file("my_dir/CAM_A.bin"), "5 1 2\n1 1 1\n" + bytes({7}));
    r = run(rec, {"-imdump", "my dir"}, {}, {"my dir", "my_dir"});
    EXPECT_TRUE(dir_entries(r.dir + "/my dir").empty());
    EXPECT_EQ(dir_entries(r.dir + "/my_dir"),
              std::vector<std::string>{"CAM_A_5_Thu_Jan__1_00:00:01_1970_0.pgm"});

    // Without "my_dir" the file cannot be opened: the writer's message on
    // standard error, the cell's on standard output, and the cell goes on;
    // the image is an output that failed, so the run ends with 1.
    r = run(rec, {"-imdump", "my dir", "-imbin"}, {}, {"my dir"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("grab: can't open my_dir/CAM_A.bin: No such file or directory\n", 0), 0u)
        << r.err;
    const std::string tail = "korvel-replay: an output of the plug-in failed: image file "
                             "my_dir/CAM_A.bin: No such file or directory\n";
    EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), tail.size())), tail) << r.err;
    EXPECT_EQ(r.out, setup_listing({"CAM/A"}) + "Failed to dump image CAM/A to file\n" +
                         end_statistics(2, 0, "inf", 0));
    EXPECT_EQ(r.file("user_out.txt"),
              "EventId\tTime\t\t\tCAM/A\n[NORMAL]5\t\t1:2\t1970-01-01T00:00:01Z\t[7\t]\n");
}

// The writer never reads past the image: width x height x bytes per pixel
// above the length, or negative (computed without overflow), is not
// handed to it. The cell and the capture go on.
TEST(ImageFiles, ImagesLargerThanTheirLengthAreNotWritten) {
    const std::vector<std::string> images = {
        R"({"bpp": 1, "width": 4, "height": 2, "len": 4, "pixels": "01020304"})",
        R"({"bpp": 1, "width": -2, "height": 2, "len": 4, "pixels": "01020304"})",
        R"({"bpp": 2, "width": 2048, "height": 2048, "len": 4, "pixels": "01020304"})"};
    // (Products past the recording's limit, and past 64 bits, are in
    // unit_image_geometry.cc.)
    const std::vector<std::string> cells = {"[1\t2\t3\t4\t]", "[1\t2\t3\t4\t]", "[258\t772\t]"};
    for (size_t k = 0; k < images.size(); k++) {
        SCOPED_TRACE(images[k]);
        ReplayResult r = run(one_image(images[k]), {"-imdump", "-imbin", "-xdump"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, one_event_out("Failed to dump image CAM to file\n"));
        EXPECT_EQ(r.file("user_out.txt"), tab_table(cells[k]));
        EXPECT_EQ(run_files(r), std::vector<std::string>{"user_descr.xml"});
        DescrFile f = read_descr_file(r.dir + "/user_descr.xml");
        ASSERT_TRUE(f.ok) << f.error;
        ASSERT_EQ(f.dims.size(), 1u);
        EXPECT_EQ(f.dims[0].images.size(), 1u);
        r = run(one_image(images[k]), {"-imdump"});
        EXPECT_EQ(r.out, one_event_out("Failed to dump image CAM to file\n"));
        EXPECT_TRUE(run_files(r).empty());
    }
    // Exactly the length, and below it, are written.
    ReplayResult r =
        run(one_image(R"({"bpp": 1, "width": 3, "height": 1, "len": 4, "pixels": "01020304"})"),
            {"-imdump", "-imbin"});
    EXPECT_EQ(r.out, one_event_out(""));
    EXPECT_EQ(r.file("CAM.bin"), "1 0 0\n3 1 1\n" + bytes({1, 2, 3}));
}

// ---- Header capture ----

// Set-up num -1 or 0 gives one header, a sub-channel number 3 gives three
// of which only the first is filled; every image overwrites entry 0.
TEST(ImageCapture, SetUpNumberSizesTheHeaderArray) {
    std::string rec = recording(
        R"([{"name": "CAM", "type": 4}, {"name": "CAM2", "sub": 3, "type": 4}, {"name": "CAM3", "sub": 0, "type": 4}])",
        {R"({"id": 1, "channels": {"CAM": {"image": {"bpp": 1, "width": 1, "height": 1, "pixels": "01"}},)"
         R"( "CAM2:3": {"image": {"bpp": 1, "width": 1, "height": 1, "pixels": "01"}},)"
         R"( "CAM3:0": {"image": {"bpp": 1, "width": 1, "height": 1, "pixels": "01"}}}})",
         R"({"id": 2, "channels": {"CAM": {"image": {"bpp": 2, "width": 2, "height": 1, "pixels": "01020304",)"
         R"( "header": {"frame": 9, "scale_x": 1.5, "image_rotation": -90, "ispare4": 77, "hbin": 2}}},)"
         R"( "CAM2:3": {"image": {"bpp": 3, "width": 1, "height": 2, "pixels": "010203040506", "header": {"x_start": 4}}},)"
         R"( "CAM3:0": {"image": {"fail": true}}}})"});
    ReplayResult r = run(rec, {"-xdump"});
    EXPECT_EQ(r.status, 0) << r.err;
    DescrFile f = read_descr_file(r.dir + "/user_descr.xml");
    ASSERT_TRUE(f.ok) << f.error;
    ASSERT_EQ(f.dims.size(), 3u);
    EXPECT_EQ(f.dims[0].name, "CAM");
    EXPECT_EQ(f.dims[0].num, 1);
    EXPECT_TRUE(f.dims[0].spectra.empty());
    ASSERT_EQ(f.dims[0].images.size(), 1u);
    EXPECT_EQ(f.dims[0].images[0], header(0, {{"width", 2},
                                              {"height", 1},
                                              {"bpp", 2},
                                              {"length", 4},
                                              {"event", 2},
                                              {"frame", 9},
                                              {"scale_x", 1.5},
                                              {"image_rotation", -90},
                                              {"ispare4", 77},
                                              {"hbin", 2}}));
    EXPECT_EQ(f.dims[1].name, "CAM2");
    EXPECT_EQ(f.dims[1].num, 3);
    ASSERT_EQ(f.dims[1].images.size(), 3u);
    EXPECT_EQ(f.dims[1].images[0], header(0, {{"width", 1},
                                              {"height", 2},
                                              {"bpp", 3},
                                              {"length", 6},
                                              {"event", 2},
                                              {"x_start", 4}}));
    EXPECT_EQ(f.dims[1].images[1], header(1, {}));
    EXPECT_EQ(f.dims[1].images[2], header(2, {}));
    // The failed image of event 2 leaves event 1's header.
    EXPECT_EQ(f.dims[2].name, "CAM3");
    EXPECT_EQ(f.dims[2].num, 1);
    ASSERT_EQ(f.dims[2].images.size(), 1u);
    EXPECT_EQ(f.dims[2].images[0],
              header(0, {{"width", 1}, {"height", 1}, {"bpp", 1}, {"length", 1}, {"event", 1}}));
}

// A channel that delivered a spectrum of two members and then an image:
// the headers are sized by the members' count, entry 0 filled.
TEST(ImageCapture, SpectrumThenImageSizesTheHeadersByTheMemberCount) {
    std::string rec = recording(
        R"([{"name": "X", "type": 4}])",
        {R"({"id": 1, "channels": {"X": {"type": 3, "members": [{"start": 1, "values": [1]}, {"start": 2, "values": [2]}]}}})",
         R"({"id": 2, "channels": {"X": {"image": {"bpp": 1, "width": 1, "height": 1, "pixels": "05"}}}})"});
    ReplayResult r = run(rec, {"-xdump"});
    EXPECT_EQ(r.status, 0) << r.err;
    DescrFile f = read_descr_file(r.dir + "/user_descr.xml");
    ASSERT_TRUE(f.ok) << f.error;
    const DescrDims *d = find_dims(f, "X");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->num, 2);
    ASSERT_EQ(d->spectra.size(), 2u);
    EXPECT_EQ(d->spectra[1].at("start"), 2);
    ASSERT_EQ(d->images.size(), 2u);
    EXPECT_EQ(d->images[0],
              header(0, {{"width", 1}, {"height", 1}, {"bpp", 1}, {"length", 1}, {"event", 2}}));
    EXPECT_EQ(d->images[1], header(1, {}));
}
