// test_files.h - files and directories for every test program: fresh
// temporary directories that are removed when the test program ends, and
// whole-file reads and writes.
#ifndef KORVEL_TEST_FILES_H
#define KORVEL_TEST_FILES_H

#include <string>
#include <vector>

// A fresh empty temporary directory under $TMPDIR (or /tmp). It and all it
// holds are removed when the process that made it ends (not when a forked
// child ends), unless KORVEL_KEEP_TEST_DIRS is set, to look at a failing
// run's files. Throws std::runtime_error when none can be made.
std::string make_temp_dir();
// Write `text` to `path`; throws std::runtime_error when it cannot.
void write_file(const std::string &path, const std::string &text);
// The whole content of `path`; "" when it cannot be read.
std::string read_file(const std::string &path);
// The names in directory `path` but "." and "..", sorted; none when it
// cannot be read.
std::vector<std::string> dir_entries(const std::string &path);

#endif
