// test_files.cc - temporary directories and whole-file reads and writes
// for the test programs (see test_files.h).
#include "test_files.h"

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

// Directories made by this process, and the process that made them: a
// child that leaves through exit() must not remove its parent's.
static std::vector<std::string> &temp_dirs() {
    static std::vector<std::string> dirs;
    return dirs;
}
static pid_t temp_dirs_owner;

static int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path);
}

static void remove_temp_dirs() {
    if (getenv("KORVEL_KEEP_TEST_DIRS") || getpid() != temp_dirs_owner)
        return;
    for (const std::string &d : temp_dirs())
        nftw(d.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string make_temp_dir() {
    if (temp_dirs().empty()) {
        temp_dirs_owner = getpid();
        atexit(remove_temp_dirs);
    }
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/korvel-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    temp_dirs().push_back(buf.data());
    return std::string(buf.data());
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return std::string();
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<std::string> dir_entries(const std::string &path) {
    std::vector<std::string> names;
    DIR *d = opendir(path.c_str());
    if (!d)
        return names;
    while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}
