// scenario_failures.cc - files the run cannot write: the event table, the
// event-ID file and the image files on a full device (/dev/full). Each
// failure is reported with the file's name and the system's error, and the
// rest of the run goes on as usual.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "replay_harness.h"

namespace {

// One event (id 1, time 0, mpulse 1) with BPM = 1.5; the reader claims two
// events, so the efficiency is (2 - 0 - 1) / (1 - 1) = inf.
const std::string kValueRun = recording(R"([{"name": "BPM", "type": 2}])",
                                        {R"({"id": 1, "channels": {"BPM": {"value": 1.5}}})"},
                                        "\"events\": 2");

// The same with an image of 2 x 1 pixels of one byte (1 and 2) in CAM.
const std::string kImageRun = recording(
    R"([{"name": "CAM", "type": 4}])",
    {R"({"id": 1, "channels": {"CAM": {"image": {"bpp": 1, "width": 2, "height": 1, "pixels": "0102"}}}})"},
    "\"events\": 2");

const std::string kNoSpace = "No space left on device";

ReplayRun in_dir(const std::string &rec, const std::vector<std::string> &words) {
    ReplayRun r;
    r.recording = rec;
    r.words = words;
    r.env = {"TZ=UTC"};
    r.dir = make_temp_dir();
    return r;
}

// Standard error without korvel-replay's own summary lines.
std::string plugin_err(const ReplayResult &r) {
    std::string s;
    size_t at = 0;
    while (at < r.err.size()) {
        size_t end = r.err.find('\n', at);
        end = end == std::string::npos ? r.err.size() : end + 1;
        if (r.err.compare(at, 15, "korvel-replay: ") != 0)
            s += r.err.substr(at, end - at);
        at = end;
    }
    return s;
}

void link_to_full(const std::string &path) {
    ASSERT_EQ(symlink("/dev/full", path.c_str()), 0) << path;
}

TEST(WriteFailures, EventTableOnFullDevice) {
    // The table's rows stay in the stream buffer until the end of the run:
    // closing the table is where the write fails, after the statistics.
    for (const std::vector<std::string> &words :
         {std::vector<std::string>{"-out", "/dev/full"},
          std::vector<std::string>{"-out", "/dev/full", "-hdf5"}}) {
        SCOPED_TRACE(words.back());
        ReplayResult r = replay(in_dir(kValueRun, words));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, one_cell_output("BPM", "") +
                             "zarn_user_end_2010(): failed to write event table file /dev/full\n");
        EXPECT_EQ(plugin_err(r), "fwrite: " + kNoSpace + "\n");
    }
    // Whatever else the end of the run does still happens: the event-ID
    // file is written in full.
    ReplayResult r = replay(in_dir(kValueRun, {"-out", "/dev/full", "-evstat"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, one_cell_output("BPM", "") +
                         "zarn_user_end_2010(): failed to write event table file /dev/full\n");
    EXPECT_EQ(r.file("user_evids.txt"), "Chan:BPM\t1\n");
    EXPECT_FALSE(r.exists("user_out.txt"));
}

TEST(WriteFailures, EventIdFileOnFullDevice) {
    ReplayRun run = in_dir(kValueRun, {"-evstat"});
    link_to_full(run.dir + "/user_evids.txt");
    ReplayResult r = replay(run);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, one_cell_output("BPM", "") +
                         "zarn_user_end_2010(): failed to write event IDs file ./user_evids.txt\n");
    EXPECT_EQ(plugin_err(r), "fwrite: " + kNoSpace + "\n");
    // The table is still closed properly after the failed ID file.
    EXPECT_EQ(r.file("user_out.txt"), one_cell_table("BPM", "1.500000\t", false));

    // Both files on the full device: both reported, the IDs first.
    run = in_dir(kValueRun, {"-evstat", "-out", "/dev/full"});
    link_to_full(run.dir + "/user_evids.txt");
    r = replay(run);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, one_cell_output("BPM", "") +
                         "zarn_user_end_2010(): failed to write event IDs file ./user_evids.txt\n"
                         "zarn_user_end_2010(): failed to write event table file /dev/full\n");
    EXPECT_EQ(plugin_err(r), "fwrite: " + kNoSpace + "\nfwrite: " + kNoSpace + "\n");
}

TEST(WriteFailures, ImageFilesOnFullDevice) {
    // .bin record: the name is DIR/CHANNEL.bin.
    ReplayRun run = in_dir(kImageRun, {"-imdump", "imgs", "-imbin"});
    ASSERT_EQ(mkdir((run.dir + "/imgs").c_str(), 0755), 0);
    link_to_full(run.dir + "/imgs/CAM.bin");
    ReplayResult r = replay(run);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, one_cell_output("CAM", "Failed to dump image CAM to file\n"));
    EXPECT_EQ(plugin_err(r), "grab: can't write imgs/CAM.bin: " + kNoSpace + "\n");
    // The image's cell is in the table all the same.
    EXPECT_EQ(r.file("user_out.txt"), one_cell_table("CAM", "[1\t2\t]", false));

    // PGM file: CHANNEL_EVENT_CTIME_MS.pgm, the time of the event in UTC
    // (0 s: Thu Jan  1 00:00:00 1970, blanks turned to '_').
    run = in_dir(kImageRun, {"-imdump", "imgs"});
    ASSERT_EQ(mkdir((run.dir + "/imgs").c_str(), 0755), 0);
    const std::string pgm = "imgs/CAM_1_Thu_Jan__1_00:00:00_1970_0.pgm";
    link_to_full(run.dir + "/" + pgm);
    r = replay(run);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, one_cell_output("CAM", "Failed to dump image CAM to file\n"));
    EXPECT_EQ(plugin_err(r), "grab: can't write " + pgm + ": " + kNoSpace + "\n");
    EXPECT_EQ(r.file("user_out.txt"), one_cell_table("CAM", "[1\t2\t]", false));
}

// Two-byte pixels go to a raw file through the same checked writer.
TEST(WriteFailures, RawImageFileOnFullDevice) {
    const std::string rec = recording(
        R"([{"name": "CAM", "type": 4}])",
        {R"({"id": 1, "channels": {"CAM": {"image": {"bpp": 2, "width": 1, "height": 1, "pixels": "0102"}}}})"},
        "\"events\": 2");
    ReplayRun run = in_dir(rec, {"-imdump", "imgs"});
    ASSERT_EQ(mkdir((run.dir + "/imgs").c_str(), 0755), 0);
    const std::string raw = "imgs/CAM_1_Thu_Jan__1_00:00:00_1970_0.raw";
    link_to_full(run.dir + "/" + raw);
    ReplayResult r = replay(run);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, one_cell_output("CAM", "Failed to dump image CAM to file\n"));
    EXPECT_EQ(plugin_err(r), "grab: can't write " + raw + ": " + kNoSpace + "\n");
    EXPECT_EQ(r.file("user_out.txt"), one_cell_table("CAM", "[258\t]", false));
}

}  // namespace
