// scenario_failures.cc - files the run cannot write: the event table, the
// event-ID file and the image files on a full device (/dev/full) and on a
// full file system (a 1 MiB tmpfs). Each failure is reported with the
// file's name and the system's error, the rest of the run goes on as
// usual, and korvel-replay, told by the plug-in's output status, ends with
// 1 and names the first failure. Image files are whole or absent.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "replay_harness.h"

namespace {

// One event (id 1, time 0, mpulse 1) with BPM = 1.5; the reader claims two
// events, so the efficiency is (2 - 0 - 1) / (1 - 1) = inf.
const std::string kValueRun =
    recording(R"([{"name": "BPM", "type": 2}])",
              {R"({"id": 1, "channels": {"BPM": {"value": 1.5}}})"}, "\"events\": 2");

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

// The last two lines on standard error of a complete run of one event whose
// first failed output is `failure`.
std::string failed_end(const std::string &failure) {
    return "korvel-replay: 1 event replayed\n"
           "korvel-replay: an output of the plug-in failed: " +
           failure + "\n";
}

bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(WriteFailures, EventTableOnFullDevice) {
    // The table's rows stay in the stream buffer until the end of the run:
    // closing the table is where the write fails, after the statistics.
    for (const std::vector<std::string> &words :
         {std::vector<std::string>{"-out", "/dev/full"},
          std::vector<std::string>{"-out", "/dev/full", "-hdf5"}}) {
        SCOPED_TRACE(words.back());
        ReplayResult r = replay(in_dir(kValueRun, words));
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.out, one_cell_output("BPM", "") +
                             "zarn_user_end_2010(): failed to write event table file /dev/full\n");
        EXPECT_EQ(plugin_err(r), "fwrite: " + kNoSpace + "\n");
        EXPECT_TRUE(ends_with(r.err, failed_end("event table file /dev/full: " + kNoSpace)))
            << r.err;
    }
    // Whatever else the end of the run does still happens: the event-ID
    // file is written in full.
    ReplayResult r = replay(in_dir(kValueRun, {"-out", "/dev/full", "-evstat"}));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, one_cell_output("BPM", "") +
                         "zarn_user_end_2010(): failed to write event table file /dev/full\n");
    EXPECT_EQ(r.file("user_evids.txt"), "Chan:BPM\t1\n");
    EXPECT_FALSE(r.exists("user_out.txt"));
}

TEST(WriteFailures, EventIdFileOnFullDevice) {
    ReplayRun run = in_dir(kValueRun, {"-evstat"});
    link_to_full(run.dir + "/user_evids.txt");
    ReplayResult r = replay(run);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, one_cell_output("BPM", "") +
                         "zarn_user_end_2010(): failed to write event IDs file ./user_evids.txt\n");
    EXPECT_EQ(plugin_err(r), "fwrite: " + kNoSpace + "\n");
    EXPECT_TRUE(ends_with(r.err, failed_end("event IDs file ./user_evids.txt: " + kNoSpace)))
        << r.err;
    // The table is still closed properly after the failed ID file.
    EXPECT_EQ(r.file("user_out.txt"), one_cell_table("BPM", "1.500000\t", false));

    // Both files on the full device: both reported, the IDs first, and the
    // IDs file is the failure korvel-replay names.
    run = in_dir(kValueRun, {"-evstat", "-out", "/dev/full"});
    link_to_full(run.dir + "/user_evids.txt");
    r = replay(run);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(ends_with(r.err, failed_end("event IDs file ./user_evids.txt: " + kNoSpace)))
        << r.err;
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
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, one_cell_output("CAM", "Failed to dump image CAM to file\n"));
    EXPECT_EQ(plugin_err(r), "grab: can't write imgs/CAM.bin: " + kNoSpace + "\n");
    EXPECT_TRUE(ends_with(r.err, failed_end("image file imgs/CAM.bin: " + kNoSpace))) << r.err;
    // The image's cell is in the table all the same.
    EXPECT_EQ(r.file("user_out.txt"), one_cell_table("CAM", "[1\t2\t]", false));

    // PGM file: CHANNEL_EVENT_CTIME_MS.pgm, the time of the event in UTC
    // (0 s: Thu Jan  1 00:00:00 1970, blanks turned to '_').
    run = in_dir(kImageRun, {"-imdump", "imgs"});
    ASSERT_EQ(mkdir((run.dir + "/imgs").c_str(), 0755), 0);
    const std::string pgm = "imgs/CAM_1_Thu_Jan__1_00:00:00_1970_0.pgm";
    link_to_full(run.dir + "/" + pgm);
    r = replay(run);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, one_cell_output("CAM", "Failed to dump image CAM to file\n"));
    EXPECT_EQ(plugin_err(r), "grab: can't write " + pgm + ": " + kNoSpace + "\n");
    EXPECT_TRUE(ends_with(r.err, failed_end("image file " + pgm + ": " + kNoSpace))) << r.err;
    EXPECT_EQ(r.file("user_out.txt"), one_cell_table("CAM", "[1\t2\t]", false));
    // The link to the full device is not the plug-in's file: it stays.
    struct stat st;
    ASSERT_EQ(lstat((run.dir + "/" + pgm).c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
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
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, one_cell_output("CAM", "Failed to dump image CAM to file\n"));
    EXPECT_EQ(plugin_err(r), "grab: can't write " + raw + ": " + kNoSpace + "\n");
    EXPECT_TRUE(ends_with(r.err, failed_end("image file " + raw + ": " + kNoSpace))) << r.err;
    EXPECT_EQ(r.file("user_out.txt"), one_cell_table("CAM", "[258\t]", false));
}

// ---- A full file system ----

// A 1 MiB tmpfs mounted on a fresh directory for one test and unmounted at
// its end. Mounting needs root (or CAP_SYS_ADMIN); without it `path` is
// empty and `why_not` says what the system answered.
struct SmallTmpfs {
    std::string path, why_not;
    SmallTmpfs() {
        std::string p = make_temp_dir() + "/fs";
        if (mkdir(p.c_str(), 0755) != 0 || mount("tmpfs", p.c_str(), "tmpfs", 0, "size=1m") != 0)
            why_not = strerror(errno);
        else
            path = p;
    }
    ~SmallTmpfs() {
        if (!path.empty())
            umount2(path.c_str(), MNT_DETACH);
    }
};

#define SKIP_WITHOUT_TMPFS(fs)                                                                     \
    if ((fs).path.empty())                                                                         \
    GTEST_SKIP() << "cannot mount a 1 MiB tmpfs (" << (fs).why_not                                 \
                 << "); the full-file-system tests need root or CAP_SYS_ADMIN"

// Fill the file system of `dir` with the file `dir`/filler until it is
// full, then give back `room` bytes (whole pages) by shortening it.
void fill(const std::string &dir, off_t room) {
    std::string path = dir + "/filler";
    int f = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(f, 0);
    std::string block(65536, 'f');
    off_t size = 0;
    for (;;) {
        ssize_t n = write(f, block.data(), block.size());
        if (n <= 0)
            break;
        size += n;
    }
    ASSERT_EQ(errno, ENOSPC);
    ASSERT_GE(size, room);
    ASSERT_EQ(ftruncate(f, size - room), 0);
    close(f);
}

// One event with a 1-byte image of width x height pixels of value 90; at
// 600 x 600 its row has 1 080 000 bytes ("90\t" per pixel): more than the
// tmpfs holds.
std::string big_image_run(int width, int height) {
    std::string pixels;
    for (int k = 0; k < width * height; k++)
        pixels += "5A";
    return recording(R"([{"name": "CAM", "type": 4}])",
                     {R"({"id": 1, "channels": {"CAM": {"image": {"bpp": 1, "width": )" +
                      std::to_string(width) + ", \"height\": " + std::to_string(height) +
                      ", \"pixels\": \"" + pixels + "\"}}}}"},
                     "\"events\": 2");
}

TEST(FullFileSystem, EventTableThatDoesNotFitExitsOne) {
    SmallTmpfs fs;
    SKIP_WITHOUT_TMPFS(fs);
    const std::string table = fs.path + "/table.txt";
    ReplayResult r = replay(in_dir(big_image_run(600, 600), {"-out", table}));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(
        ends_with(r.out, "zarn_user_end_2010(): failed to write event table file " + table + "\n"))
        << r.out;
    EXPECT_EQ(plugin_err(r), "fwrite: " + kNoSpace + "\n");
    EXPECT_TRUE(ends_with(r.err, failed_end("event table file " + table + ": " + kNoSpace)))
        << r.err;
}

TEST(FullFileSystem, EventIdFileThatDoesNotFitExitsOne) {
    SmallTmpfs fs;
    SKIP_WITHOUT_TMPFS(fs);
    // The recording lies elsewhere; the working directory is the full tmpfs.
    std::string rec_dir = make_temp_dir();
    write_file(rec_dir + "/run.jsonl", kValueRun);
    fill(fs.path, 0);
    ReplayResult r = replay_args(
        {"--no-progress", rec_dir + "/run.jsonl", "--", "-evstat", "-out", rec_dir + "/t.txt"},
        fs.path, {"TZ=UTC"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, one_cell_output("BPM", "") +
                         "zarn_user_end_2010(): failed to write event IDs file ./user_evids.txt\n");
    EXPECT_TRUE(ends_with(r.err, failed_end("event IDs file ./user_evids.txt: " + kNoSpace)))
        << r.err;
    EXPECT_EQ(read_file(rec_dir + "/t.txt"), one_cell_table("BPM", "1.500000\t", false));
}

// Images on the full tmpfs, reached through the link "imgs" (a directory
// word holding '-' would be read as an option); the working directory,
// which the free-space guard looks at, has room. A PGM file that does not
// fit is removed, a .bin record that does not fit is cut back to the
// records before it.
ReplayRun images_to(const SmallTmpfs &fs, const std::string &rec,
                    const std::vector<std::string> &words) {
    ReplayRun run = in_dir(rec, words);
    EXPECT_EQ(symlink(fs.path.c_str(), (run.dir + "/imgs").c_str()), 0);
    return run;
}

TEST(FullFileSystem, ImageFilesAreWholeOrAbsent) {
    SmallTmpfs fs;
    SKIP_WITHOUT_TMPFS(fs);
    const std::string pgm = "imgs/CAM_1_Thu_Jan__1_00:00:00_1970_0.pgm";
    fill(fs.path, 8192);
    ReplayResult r = replay(images_to(fs, big_image_run(200, 100), {"-imdump", "imgs"}));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(plugin_err(r), "grab: can't write " + pgm + ": " + kNoSpace + "\n");
    EXPECT_TRUE(ends_with(r.err, failed_end("image file " + pgm + ": " + kNoSpace))) << r.err;
    struct stat st;
    EXPECT_NE(stat((r.dir + "/" + pgm).c_str(), &st), 0) << "a partial image file stayed";

    // A first small record fits; the second, of 20 000 pixel bytes, does not.
    const std::string first = "1 0 0\n2 1 1\n" + std::string("\x01\x02", 2);
    r = replay(images_to(fs, kImageRun, {"-imdump", "imgs", "-imbin"}));
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(read_file(fs.path + "/CAM.bin"), first);
    r = replay(images_to(fs, big_image_run(200, 100), {"-imdump", "imgs", "-imbin"}));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(plugin_err(r), "grab: can't write imgs/CAM.bin: " + kNoSpace + "\n");
    EXPECT_EQ(read_file(fs.path + "/CAM.bin"), first);
}

}  // namespace
