// unit_image_geometry.cc - image files for images whose geometry is far
// from their length: width x height x bytes per pixel past 64 bits must
// not overflow, and such an image is refused with its message instead of
// being written. Run in a child process, because a run leaves the
// plug-in's state behind.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "korvel_imfile.h"
#include "test_files.h"
#include "unit_child_run.h"

namespace {

// One event whose image CAM claims width x height x bpp but delivers
// four bytes (length and size 4), run with -imdump imgs.
std::string run_image(int width, int height, int bpp, std::string *dir_out) {
    std::string dir = make_temp_dir();
    *dir_out = dir;
    EXPECT_EQ(mkdir((dir + "/imgs").c_str(), 0755), 0);
    standin::Channel c;
    c.name = "CAM";
    c.type = 4;
    standin::Event ev;
    ev.id = 1;
    standin::Image im;
    im.bpp = bpp;
    im.width = width;
    im.height = height;
    im.len = 4;
    im.size = 4;
    im.pixels = {1, 2, 3, 4};
    ev.add("CAM").image = im;
    EXPECT_EQ(run_one_event_in_child(dir, c, ev, {"-imdump", "imgs"}), 0);
    return slurp(dir + "/stdout.txt");
}

TEST(ImageGeometry, HugeProductsAreRefusedWithoutOverflow) {
    const std::string failed = "Failed to dump image CAM to file\n";
    // width * height fits in 64 bits; times bpp it passes 2^63.
    const int cases[][3] = {{INT_MAX, 11, INT_MAX - 2},
                            {INT_MAX, INT_MAX, INT_MAX},
                            {INT_MIN, INT_MIN, INT_MIN},
                            {INT_MIN, INT_MAX, 3},
                            {-2, -2, 1}};  // 4 bytes, but negative sides
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c[0]) + " x " + std::to_string(c[1]) + " x " +
                     std::to_string(c[2]));
        std::string dir;
        std::string out = run_image(c[0], c[1], c[2], &dir);
        if (c[0] == -2) {
            // The product (4) is within the length: the file is written.
            EXPECT_EQ(out.find(failed), std::string::npos) << out;
            continue;
        }
        EXPECT_NE(out.find(failed), std::string::npos) << out;
        EXPECT_EQ(dir_entries(dir + "/imgs").size(), 0u);
    }
    // The same four bytes as 2 x 2 x 1 are written as usual.
    std::string dir;
    std::string out = run_image(2, 2, 1, &dir);
    EXPECT_EQ(out.find(failed), std::string::npos) << out;
    EXPECT_EQ(dir_entries(dir + "/imgs").size(), 1u);
}

}  // namespace

// The byte count of an image, in 64 bits whatever its factors: 0 when one
// factor is 0, -1 for a negative product, the largest int64 when the true
// product does not fit; two negative factors make a positive size.
TEST(ImageSizeBytes, SignsZerosAndOverflow) {
    EXPECT_EQ(6, image_size_bytes(2, 3, 1));
    EXPECT_EQ(0, image_size_bytes(0, 5, 2));
    EXPECT_EQ(0, image_size_bytes(5, 5, 0));
    EXPECT_EQ(-1, image_size_bytes(-2, 3, 1));
    EXPECT_EQ(-1, image_size_bytes(2, 3, -1));
    EXPECT_EQ(6, image_size_bytes(-2, 3, -1));
    // 2147483647^2 x 2 = 9223372028264841218 still fits; x 3 does not.
    EXPECT_EQ(9223372028264841218LL, image_size_bytes(2147483647, 2147483647, 2));
    EXPECT_EQ(INT64_MAX, image_size_bytes(2147483647, 2147483647, 3));
    EXPECT_EQ(INT64_MAX, image_size_bytes(-2147483647 - 1, 2147483647, -3));
}
