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
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "standin.h"
#include "zarn_daq_user.h"

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int entries(const std::string &dir) {
    int n = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// One event whose image CAM claims width x height x bpp but delivers
// four bytes (length and size 4), run with -imdump imgs.
std::string run_image(int width, int height, int bpp, std::string *dir_out) {
    char tmpl[] = "/tmp/korvel-geom.XXXXXX";
    std::string dir = mkdtemp(tmpl);
    *dir_out = dir;
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0 || mkdir("imgs", 0755) != 0)
            _exit(90);
        int out = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || dup2(out, 1) < 0)
            _exit(91);
        standin::RunHeader h;
        standin::Channel c;
        c.name = "CAM";
        c.type = 4;
        h.channels.push_back(c);
        standin::Run run(h);
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
        std::vector<std::string> w = {"t", "-imdump", "imgs"};
        std::vector<char *> argv;
        for (auto &s : w)
            argv.push_back(&s[0]);
        argv.push_back(nullptr);
        if (zarn_user_init_2010((int)w.size(), argv.data(), run.reader()) != 0)
            _exit(92);
        standin::Cursor cur;
        run.count_event();
        cur.bind(run, ev);
        zarn_user_loop(cur.get());
        cur.unbind();
        zarn_user_end_2010(run.reader());
        fflush(stdout);
        _exit(0);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "status " << st;
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
        EXPECT_EQ(entries(dir + "/imgs"), 0);
    }
    // The same four bytes as 2 x 2 x 1 are written as usual.
    std::string dir;
    std::string out = run_image(2, 2, 1, &dir);
    EXPECT_EQ(out.find(failed), std::string::npos) << out;
    EXPECT_EQ(entries(dir + "/imgs"), 1);
}

}  // namespace
