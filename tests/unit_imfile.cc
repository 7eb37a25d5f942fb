// unit_imfile.cc - the image file writer on its own: the free-space guard
// with a file system whose answers the test chooses, the file names, the
// PGM / raw / PPM files and the appending .bin records, and the failures
// (refused space, unopenable files, names too long).
//
// The test executable carries its own statvfs64: the plug-in's objects are
// linked into it, so their calls bind to this definition instead of the C
// library's (and instead of the sanitizer runtime's interceptor, which is
// a weak symbol). Every test that relies on it also checks that the query
// arrived here.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "korvel_imfile.h"
#include "korvel_state.h"
#include "test_files.h"
#include "unit_child_run.h"
#include "zarn_daq_user.h"

namespace {

// What the replaced statvfs64 answers while `active`; otherwise it asks
// the real file system.
struct FakeFileSystem {
    bool active = false;
    unsigned long long blocks = 0;
    unsigned long long bfree = 0;
    unsigned long long bavail = 0;
    int error = 0;  // non-zero: fail with this errno
    int calls = 0;
    std::string path;  // path of the latest query
};
FakeFileSystem fake_fs;

}  // namespace

int statvfs64(const char *path, struct statvfs64 *buf) noexcept {
    if (!fake_fs.active) {
        struct statvfs st;
        int rc = statvfs(path, &st);
        if (rc == 0) {
            memset(buf, 0, sizeof *buf);
            buf->f_bsize = st.f_bsize;
            buf->f_frsize = st.f_frsize;
            buf->f_blocks = st.f_blocks;
            buf->f_bfree = st.f_bfree;
            buf->f_bavail = st.f_bavail;
            buf->f_files = st.f_files;
            buf->f_ffree = st.f_ffree;
            buf->f_favail = st.f_favail;
            buf->f_fsid = st.f_fsid;
            buf->f_flag = st.f_flag;
            buf->f_namemax = st.f_namemax;
        }
        return rc;
    }
    fake_fs.calls++;
    fake_fs.path = path;
    if (fake_fs.error) {
        errno = fake_fs.error;
        return -1;
    }
    memset(buf, 0, sizeof *buf);
    buf->f_bsize = 4096;
    buf->f_frsize = 4096;
    buf->f_blocks = fake_fs.blocks;
    buf->f_bfree = fake_fs.bfree;
    buf->f_bavail = fake_fs.bavail;
    return 0;
}

namespace {

// Mon 7 Dec 2026 14:35:23 UTC: 20794 days after 1 Jan 1970 (56 years with
// 14 leap days, then 334 days to 1 Dec and 6 more), plus 52523 seconds.
const unsigned kDec7 = 20794u * 86400u + 14u * 3600u + 35u * 60u + 23u;
const std::string kDec7Text = "Mon_Dec__7_14:35:23_2026";
const std::string kEpochText = "Thu_Jan__1_00:00:00_1970";

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b)
        s.push_back((char)c);
    return s;
}

// Every test runs in a fresh directory (the image directory "./" is the
// working directory), in UTC, with a file system that is half free.
class ImageWriter : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_opt_ = opt;
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        oldcwd_ = cwd;
        dir_ = make_temp_dir();
        ASSERT_FALSE(dir_.empty());
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        setenv("TZ", "UTC", 1);
        tzset();
        opt.imdir = "./";
        opt.imbin = false;
        space_refusal_told = false;
        output_errno = 0;
        output_failure_text[0] = '\0';
        fake_fs = FakeFileSystem();
        fake_fs.active = true;
        set_free(50, 100);
    }
    void TearDown() override {
        fake_fs = FakeFileSystem();
        opt = saved_opt_;
        EXPECT_EQ(chdir(oldcwd_.c_str()), 0);
    }
    static void set_free(unsigned long long bfree, unsigned long long blocks) {
        fake_fs.bfree = bfree;
        fake_fs.bavail = bfree;
        fake_fs.blocks = blocks;
    }
    // write_image_to_file with standard output and standard error captured.
    int write(int w, int h, int lbpx, const std::string &pixels, time_stamp tm, unsigned event,
              const char *channel) {
        buf_.assign(pixels.begin(), pixels.end());
        buf_.resize(buf_.size() + 64, 0xEE);  // bytes past the image must not be written
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        int rc = write_image_to_file(w, h, lbpx, buf_.data(), &tm, event, channel);
        out_ = ::testing::internal::GetCapturedStdout();
        err_ = ::testing::internal::GetCapturedStderr();
        return rc;
    }
    std::vector<std::string> files() const {
        return dir_entries(".");
    }
    // The working directory as the system names it (mkdtemp's path may go
    // through a symbolic link).
    static std::string cwd() {
        char buf[4096];
        return getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
    }

    std::string dir_, oldcwd_, out_, err_;
    std::vector<unsigned char> buf_;

  private:
    run_options saved_opt_ = opt_at_load;
};

class FreeSpaceGuard : public ImageWriter {};

}  // namespace

// ---- Free-space guard ----

TEST_F(FreeSpaceGuard, LimitsUpToNinetyFiveQueryTheWorkingDirectory) {
    opt.imdir = "/somewhere/else";
    set_free(96, 100);
    EXPECT_EQ(camera_small_space(95), 0);
    EXPECT_EQ(fake_fs.calls, 1);
    EXPECT_EQ(fake_fs.path, "./");
    set_free(94, 100);
    EXPECT_EQ(camera_small_space(95), 1);
    EXPECT_EQ(fake_fs.calls, 2);
    // A limit of 0 is inside the range: even a full file system passes it.
    set_free(0, 100);
    EXPECT_EQ(camera_small_space(0), 0);
    EXPECT_EQ(fake_fs.calls, 3);
}

TEST_F(FreeSpaceGuard, LimitsOutsideTheRangeGiveMinusOneWithoutAQuery) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(camera_small_space(95.5f), -1);
    EXPECT_EQ(camera_small_space(-1), -1);
    EXPECT_EQ(camera_small_space(100), -1);
    EXPECT_EQ(camera_small_space(-0.01f), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(fake_fs.calls, 0);
}

// The free share counts f_bfree (reserved blocks included), not f_bavail.
TEST_F(FreeSpaceGuard, CountsFreeBlocksNotTheUnreservedOnes) {
    fake_fs.blocks = 1000;
    fake_fs.bfree = 500;
    fake_fs.bavail = 0;
    EXPECT_EQ(camera_small_space(10), 0);
    fake_fs.bfree = 50;
    fake_fs.bavail = 1000;
    EXPECT_EQ(camera_small_space(10), 1);
}

TEST_F(FreeSpaceGuard, NoBlocksAtAllCountAsTooLittle) {
    set_free(0, 0);
    EXPECT_EQ(camera_small_space(10), 1);
    EXPECT_EQ(write(1, 1, 1, "x", {kDec7, 0}, 1, "CAM"), -5);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(err_, "grab: images are not written: the file system holding " + cwd() +
                        " reports no blocks at all\n");
    EXPECT_TRUE(files().empty());
}

// The writer passes 10: 9.99 % free is refused, exactly 10 % is enough.
// The first refusal of the run says why (the working directory's file
// system, its free share with two decimals, the threshold); later ones are
// silent. A refusal is the guard at work, not a failed output.
TEST_F(FreeSpaceGuard, WriterNeedsTenPercentFree) {
    set_free(999, 10000);
    EXPECT_EQ(write(1, 1, 1, "x", {kDec7, 0}, 1, "CAM"), -5);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(err_, "grab: images are not written: the file system holding " + cwd() +
                        " has 9.99 % of its blocks free, less than the 10 % required\n");
    EXPECT_TRUE(files().empty());
    EXPECT_EQ(fake_fs.calls, 1);

    // Without -imbin a pixel size it does not write is refused all the same,
    // because the guard comes first.
    EXPECT_EQ(write(1, 1, 4, "xxxx", {kDec7, 0}, 1, "CAM"), -5);
    EXPECT_EQ(err_, "");

    opt.imbin = true;
    set_free(0, 10000);
    EXPECT_EQ(write(1, 1, 1, "x", {kDec7, 0}, 1, "CAM"), -5);
    EXPECT_EQ(err_, "");
    EXPECT_TRUE(files().empty());
    EXPECT_EQ(korvel_output_failure(nullptr, 0), 0);

    set_free(1000, 10000);
    EXPECT_EQ(write(1, 1, 1, "x", {kDec7, 0}, 1, "CAM"), 0);
    EXPECT_EQ(files(), std::vector<std::string>{"CAM.bin"});
}

TEST_F(FreeSpaceGuard, FailingQueryPrintsBothMessages) {
    fake_fs.error = EACCES;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(camera_small_space(10), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "small_space() failed statvfs() for ./");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "statvfs64: Permission denied\n");

    fake_fs.error = EIO;
    EXPECT_EQ(write(1, 1, 1, "x", {kDec7, 0}, 1, "CAM"), -5);
    EXPECT_EQ(out_, "small_space() failed statvfs() for ./");
    EXPECT_EQ(err_, "statvfs64: Input/output error\ngrab: images are not written: the free "
                    "space of the file system holding " +
                        cwd() + " cannot be queried\n");
    EXPECT_TRUE(files().empty());
    // The guard's own messages come with every image, its reason only once.
    EXPECT_EQ(write(1, 1, 1, "x", {kDec7, 0}, 1, "CAM"), -5);
    EXPECT_EQ(err_, "statvfs64: Input/output error\n");
}

// ---- File names and file forms ----

// The documented example: slashes of the channel become '_', ctime's blanks
// too (two before a one-digit day), its newline is gone, then milliseconds.
TEST_F(ImageWriter, PgmFileIsNamedAfterChannelEventTimeAndMilliseconds) {
    EXPECT_EQ(kDec7, 1796654123u);
    const std::string px = bytes({0x00, 0x7f, 0x80, 0xff, '\n', ' '});
    EXPECT_EQ(write(3, 2, 1, px, {kDec7, 123456}, 1234, "CAM/A"), 0);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(err_, "");
    const std::string name = "CAM_A_1234_" + kDec7Text + "_123.pgm";
    EXPECT_EQ(files(), std::vector<std::string>{name});
    EXPECT_EQ(read_file(".//" + name), "P5\n3 2\n255\n" + px);
}

TEST_F(ImageWriter, MillisecondSuffixTruncatesTheMicroseconds) {
    const struct {
        unsigned usec;
        const char *suffix;
    } cases[] = {{999, "_0"}, {5000, "_5"}, {123456, "_123"}, {999999, "_999"}, {0, "_0"}};
    std::vector<std::string> expected;
    unsigned event = 1;
    for (auto &c : cases) {
        EXPECT_EQ(write(1, 1, 1, "p", {kDec7, c.usec}, event, "M"), 0);
        expected.push_back("M_" + std::to_string(event) + "_" + kDec7Text + c.suffix + ".pgm");
        event++;
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(files(), expected);
}

TEST_F(ImageWriter, RawFileHoldsTheHeaderLineAndUnswappedWords) {
    const std::string px = bytes({0x01, 0x02, 0xff, 0xfe});
    EXPECT_EQ(write(2, 1, 2, px, {kDec7, 999}, 7, "W"), 0);
    const std::string name = "W_7_" + kDec7Text + "_0.raw";
    EXPECT_EQ(files(), std::vector<std::string>{name});
    EXPECT_EQ(read_file(name), "2 1 2\n" + px);
}

TEST_F(ImageWriter, PpmFileHoldsThreeBytesPerPixel) {
    const std::string px = bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    EXPECT_EQ(write(2, 2, 3, px, {kDec7, 5000}, 8, "C"), 0);
    const std::string name = "C_8_" + kDec7Text + "_5.ppm";
    EXPECT_EQ(files(), std::vector<std::string>{name});
    EXPECT_EQ(read_file(name), "P6\n2 2\n255\n" + px);
}

// Mode "w": a file of the same name is replaced, not appended to.
TEST_F(ImageWriter, SingleImageFilesReplaceAnOlderFileOfTheSameName) {
    const std::string pgm = "G_1_" + kEpochText + "_0.pgm";
    const std::string raw = "G_1_" + kEpochText + "_0.raw";
    write_file(pgm, std::string(100, 'o'));
    write_file(raw, std::string(100, 'o'));
    EXPECT_EQ(write(1, 1, 1, "a", {0, 0}, 1, "G"), 0);
    EXPECT_EQ(write(1, 1, 2, "bc", {0, 0}, 1, "G"), 0);
    EXPECT_EQ(read_file(pgm), "P5\n1 1\n255\na");
    EXPECT_EQ(read_file(raw), "1 1 2\nbc");
}

TEST_F(ImageWriter, OtherPixelSizesWithoutImbinWriteNothing) {
    EXPECT_EQ(write(2, 1, 0, "ab", {kDec7, 0}, 1, "CAM"), 0);
    EXPECT_EQ(write(2, 1, 4, "abcdefgh", {kDec7, 0}, 1, "CAM"), 0);
    EXPECT_EQ(write(2, 1, -1, "ab", {kDec7, 0}, 1, "CAM"), 0);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(err_, "");
    EXPECT_TRUE(files().empty());
}

// Event numbers of 2^31 and more are printed as signed ints.
TEST_F(ImageWriter, LargeEventNumbersArePrintedNegativeInNames) {
    EXPECT_EQ(write(1, 1, 1, "a", {0, 0}, 2147483648u, "E"), 0);
    EXPECT_EQ(write(1, 1, 1, "b", {0, 0}, 4294967295u, "E"), 0);
    EXPECT_EQ(files(), (std::vector<std::string>{"E_-1_" + kEpochText + "_0.pgm",
                                                 "E_-2147483648_" + kEpochText + "_0.pgm"}));
}

// Slashes are replaced in the channel part only; blanks everywhere, the
// directory included, so "my dir" is written as "my_dir".
TEST_F(ImageWriter, SlashesOfTheChannelAndAllBlanksBecomeUnderscores) {
    ASSERT_EQ(mkdir("my dir", 0755), 0);
    ASSERT_EQ(mkdir("my_dir", 0755), 0);
    ASSERT_EQ(mkdir("my_dir/a", 0755), 0);
    opt.imdir = "my dir/a";
    EXPECT_EQ(write(1, 1, 1, "z", {0, 0}, 3, "A/B/C x"), 0);
    EXPECT_EQ(err_, "");
    EXPECT_TRUE(dir_entries("my dir").empty());
    EXPECT_EQ(dir_entries("my_dir/a"),
              std::vector<std::string>{"A_B_C_x_3_" + kEpochText + "_0.pgm"});

    opt.imbin = true;
    EXPECT_EQ(write(1, 1, 1, "z", {0, 0}, 3, "A/B/C x"), 0);
    EXPECT_EQ(read_file("my_dir/a/A_B_C_x.bin"), "3 0 0\n1 1 1\nz");
}

// ---- .bin records ----

TEST_F(ImageWriter, ImbinAppendsOneRecordPerImage) {
    opt.imbin = true;
    write_file("CAM_A.bin", "old\n");
    const std::string a = bytes({0x0a, 0xff, 0x00, 0x80, 0x7f, '\n'});
    const std::string b = bytes({0x01, 0x02});
    EXPECT_EQ(write(3, 2, 1, a, {kDec7, 123456}, 1234, "CAM/A"), 0);
    EXPECT_EQ(write(1, 1, 2, b, {3000000000u, 999999}, 2147483648u, "CAM/A"), 0);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(err_, "");
    EXPECT_EQ(files(), std::vector<std::string>{"CAM_A.bin"});
    EXPECT_EQ(read_file("CAM_A.bin"), "old\n"
                                      "1234 1796654123 123456\n3 2 1\n" +
                                          a + "-2147483648 -1294967296 999999\n1 1 2\n" + b);
}

// With -imbin the pixel size is not examined: every value gives a record
// of width x height x lbpx bytes.
TEST_F(ImageWriter, ImbinWritesAnyPixelSize) {
    opt.imbin = true;
    const std::string px = "ABCDEFGHIJ";
    EXPECT_EQ(write(2, 1, 4, px, {5, 6}, 7, "Q"), 0);
    EXPECT_EQ(write(2, 1, 0, px, {5, 6}, 8, "Q"), 0);
    EXPECT_EQ(read_file("Q.bin"), "7 5 6\n2 1 4\nABCDEFGH"
                                  "8 5 6\n2 1 0\n");
}

// ---- write_raw_file ----

TEST_F(ImageWriter, RawWriterTruncatesWithoutImbinAndAppendsWith) {
    unsigned char px[] = {'a', 'b', 'c', 'd', 'e', 'f', 'g'};
    write_file("r", "old\n");
    EXPECT_EQ(write_raw_file("r", 3, 2, 1, px), 0);
    EXPECT_EQ(read_file("r"), "3 2 1\nabcdef");
    opt.imbin = true;
    EXPECT_EQ(write_raw_file("r", 1, 1, 2, px), 0);
    EXPECT_EQ(read_file("r"), "3 2 1\nabcdef1 1 2\nab");
}

// ---- Failures ----

TEST_F(ImageWriter, UnopenableFilesGiveMinusTwoWithTheSystemError) {
    opt.imdir = "nodir";
    EXPECT_EQ(write(1, 1, 1, "a", {0, 0}, 1, "CAM"), -2);
    EXPECT_EQ(err_,
              "grab: can't open nodir/CAM_1_" + kEpochText + "_0.pgm: No such file or directory\n");
    // The first failure is what korvel_output_failure reports, whatever
    // fails after it.
    const std::string first =
        "image file nodir/CAM_1_" + kEpochText + "_0.pgm: No such file or directory";
    EXPECT_EQ(write(1, 1, 2, "ab", {0, 0}, 1, "CAM"), -2);
    EXPECT_EQ(err_,
              "grab: can't open nodir/CAM_1_" + kEpochText + "_0.raw: No such file or directory\n");
    EXPECT_EQ(write(1, 1, 3, "abc", {0, 0}, 1, "CAM"), -2);
    EXPECT_EQ(err_,
              "grab: can't open nodir/CAM_1_" + kEpochText + "_0.ppm: No such file or directory\n");
    opt.imbin = true;
    EXPECT_EQ(write(1, 1, 1, "a", {0, 0}, 1, "CAM"), -2);
    EXPECT_EQ(err_, "grab: can't open nodir/CAM.bin: No such file or directory\n");
    EXPECT_EQ(out_, "");
    EXPECT_TRUE(files().empty());

    unsigned char px[] = {1};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(write_raw_file("nodir/x.raw", 1, 1, 1, px), -2);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "grab: can't open nodir/x.raw: No such file or directory\n");

    // A directory where the file should be.
    opt.imdir = "./";
    ASSERT_EQ(mkdir("D.bin", 0755), 0);
    EXPECT_EQ(write(1, 1, 1, "a", {0, 0}, 1, "D"), -2);
    EXPECT_EQ(err_, "grab: can't open .//D.bin: Is a directory\n");

    char what[256];
    EXPECT_EQ(korvel_output_failure(what, sizeof what), ENOENT);
    EXPECT_EQ(std::string(what), first);
    // The text is cut to the room given, its NUL included; no room, no text.
    EXPECT_EQ(korvel_output_failure(what, 11), ENOENT);
    EXPECT_EQ(std::string(what), "image file");
    what[0] = 'x';
    EXPECT_EQ(korvel_output_failure(what, 0), ENOENT);
    EXPECT_EQ(what[0], 'x');
    EXPECT_EQ(korvel_output_failure(nullptr, 100), ENOENT);
}

// Nothing failed: 0 and an empty text.
TEST_F(ImageWriter, OutputStatusIsZeroWhenEveryFileWasWritten) {
    EXPECT_EQ(write(1, 1, 1, "a", {0, 0}, 1, "CAM"), 0);
    char what[16] = "untouched";
    EXPECT_EQ(korvel_output_failure(what, sizeof what), 0);
    EXPECT_EQ(std::string(what), "");
}

// The composed name may have 255 characters; one more is refused with the
// name cut to 255 characters in the message, and nothing is written.
TEST_F(ImageWriter, NamesLongerThan255CharactersAreRefused) {
    opt.imbin = true;
    opt.imdir = ".";
    const std::string fits(249, 'c');  // "./" + 249 + ".bin" = 255
    EXPECT_EQ(write(1, 1, 1, "a", {0, 0}, 1, fits.c_str()), 0);
    EXPECT_EQ(err_, "");
    EXPECT_EQ(files(), std::vector<std::string>{fits + ".bin"});

    const std::string over(250, 'd');
    const std::string name = "./" + over + ".bin";
    EXPECT_EQ(write(1, 1, 1, "a", {0, 0}, 1, over.c_str()), -2);
    EXPECT_EQ(err_, "grab: file name too long: " + name.substr(0, 255) + "\n");
    EXPECT_EQ(out_, "");
    EXPECT_EQ(files().size(), 1u);
    // An image that could not be written: a failed output.
    char what[512];
    EXPECT_EQ(korvel_output_failure(what, sizeof what), ENAMETOOLONG);
    EXPECT_EQ(std::string(what), "image file " + name.substr(0, 255) + ": File name too long");

    // Without -imbin: "./" + channel + "_1_" + ctime + "_0.pgm" is 35
    // characters besides the channel.
    opt.imbin = false;
    const std::string fits2(220, 'e');
    EXPECT_EQ(write(1, 1, 1, "a", {0, 0}, 1, fits2.c_str()), 0);
    EXPECT_EQ(err_, "");
    const std::string over2(221, 'f');
    const std::string name2 = "./" + over2 + "_1_" + kEpochText + "_0.pgm";
    EXPECT_EQ(write(1, 1, 1, "a", {0, 0}, 1, over2.c_str()), -2);
    EXPECT_EQ(err_, "grab: file name too long: " + name2.substr(0, 255) + "\n");
    EXPECT_EQ(files().size(), 2u);

    // Channel names that do not fit the 256-byte channel buffer at all.
    for (size_t len : {255u, 256u, 1000u}) {
        SCOPED_TRACE(len);
        const std::string huge(len, 'h');
        EXPECT_EQ(write(1, 1, 1, "a", {0, 0}, 1, huge.c_str()), -2);
        EXPECT_EQ(err_.rfind("grab: file name too long: ./hhh", 0), 0u) << err_;
        EXPECT_LE(err_.size(), std::string("grab: file name too long: \n").size() + 255);
        opt.imbin = !opt.imbin;
        EXPECT_EQ(write(1, 1, 1, "a", {0, 0}, 1, huge.c_str()), -2);
        EXPECT_EQ(err_.rfind("grab: file name too long: ./hhh", 0), 0u) << err_;
        opt.imbin = !opt.imbin;
    }
    EXPECT_EQ(files().size(), 2u);
}

// ---- Files whole or absent ----

namespace {

// What one write in a child process gave: its result and its standard
// error, then the child's output status ("status E TEXT").
struct LimitedWrite {
    int rc = 0;
    std::string err;
};

// write_image_to_file (or, with `raw`, write_raw_file on "r.raw") in a
// child process whose files may not grow past `limit` bytes
// (RLIMIT_FSIZE): the write that crosses it fails with EFBIG, in the
// middle of the image, on any file system.
LimitedWrite write_limited(off_t limit, int w, int h, int lbpx, bool raw = false) {
    std::vector<unsigned char> px((size_t)w * h * lbpx, 0x5A);
    int pipefd[2];
    EXPECT_EQ(pipe(pipefd), 0);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        close(pipefd[0]);
        dup2(pipefd[1], 2);
        signal(SIGXFSZ, SIG_IGN);  // the failing write gives EFBIG instead
        struct rlimit rl, before;
        getrlimit(RLIMIT_FSIZE, &rl);
        before = rl;
        rl.rlim_cur = (rlim_t)limit;
        if (setrlimit(RLIMIT_FSIZE, &rl) != 0)
            child_exit(99);
        time_stamp tm = {0, 0};
        int rc = raw ? write_raw_file("r.raw", w, h, lbpx, px.data())
                     : write_image_to_file(w, h, lbpx, px.data(), &tm, 1, "CAM");
        char what[256];
        int e = korvel_output_failure(what, sizeof what);
        fprintf(stderr, "status %d %s\n", e, what);
        fflush(stderr);
        // The limit would also cut the coverage counts child_exit() writes.
        setrlimit(RLIMIT_FSIZE, &before);
        child_exit(rc < 0 ? -rc : 0);
    }
    close(pipefd[1]);
    LimitedWrite r;
    char buf[512];
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof buf)) > 0)
        r.err.append(buf, (size_t)n);
    close(pipefd[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st)) << st;
    r.rc = WIFEXITED(st) ? -WEXITSTATUS(st) : 1;
    return r;
}

}  // namespace

// A PGM, raw or PPM file whose pixels cannot all be written is removed:
// its message names the file and the reason, and the run's output status
// keeps it. An older file of the same name is gone as well: "w" had
// already emptied it.
TEST_F(ImageWriter, SingleImageFileThatFailsIsRemoved) {
    const std::string name = "CAM_1_" + kEpochText + "_0";
    for (int lbpx : {1, 2, 3}) {
        SCOPED_TRACE(lbpx);
        const std::string file = name + (lbpx == 1 ? ".pgm" : lbpx == 2 ? ".raw" : ".ppm");
        write_file(file, "an older image");
        LimitedWrite r = write_limited(50, 10, 10, lbpx);
        EXPECT_EQ(r.rc, -2);
        EXPECT_EQ(r.err, "grab: can't write .//" + file + ": File too large\nstatus " +
                             std::to_string(EFBIG) + " image file .//" + file +
                             ": File too large\n");
        EXPECT_TRUE(files().empty());
    }
}

// A link in the file's place is not the plug-in's to remove: it stays, and
// the file it leads to is emptied, so no partial image is left there.
TEST_F(ImageWriter, LinkInPlaceOfAFailedFileStays) {
    const std::string file = "CAM_1_" + kEpochText + "_0.pgm";
    write_file("target", "an older image");
    ASSERT_EQ(symlink("target", file.c_str()), 0);
    EXPECT_EQ(write_limited(50, 10, 10, 1).rc, -2);
    struct stat st;
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_file("target"), "");
}

// A .bin record that cannot be written whole is cut back: the file holds
// the records before it, byte for byte, and the next record follows them.
TEST_F(ImageWriter, BinRecordThatFailsIsCutBack) {
    opt.imbin = true;
    // Record 1: "1 0 0\n", "2 1 1\n" and two bytes: 14 bytes.
    ASSERT_EQ(write(2, 1, 1, "ab", {0, 0}, 1, "CAM"), 0);
    const std::string one = "1 0 0\n2 1 1\nab";
    ASSERT_EQ(read_file("CAM.bin"), one);
    // 14 + 20 bytes allowed: the event line and the raw line fit, the
    // hundred pixel bytes do not.
    for (off_t limit : {34, 15, 14}) {
        SCOPED_TRACE(limit);
        LimitedWrite r = write_limited(limit, 10, 10, 1);
        EXPECT_EQ(r.rc, -2);
        EXPECT_EQ(r.err, "grab: can't write .//CAM.bin: File too large\nstatus " +
                             std::to_string(EFBIG) + " image file .//CAM.bin: File too large\n");
        EXPECT_EQ(read_file("CAM.bin"), one);
    }
    ASSERT_EQ(write(1, 1, 1, "c", {0, 0}, 1, "CAM"), 0);
    EXPECT_EQ(read_file("CAM.bin"), one + "1 0 0\n1 1 1\nc");

    // write_raw_file appending with -imbin is cut back the same way.
    write_file("r.raw", "old");
    LimitedWrite r = write_limited(20, 10, 10, 1, true);
    EXPECT_EQ(r.rc, -2);
    EXPECT_EQ(read_file("r.raw"), "old");
}
