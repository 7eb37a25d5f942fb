// h5_output.cc - the output file's life: its paths checked and OUT.part
// created before any work, and at the end the one decision whether OUT.part
// becomes OUT, reported as it happened.
//
// The file is written as OUT.part and renamed at the very end, so neither
// a failure nor an interrupt ever leaves a half file under the final name
// or touches an existing one; OUT.part is removed on every failure.
#include "h5_converter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Whether the regular file at `path` is what a killed run leaves as
// OUT.part: empty (created before the survey), or beginning with HDF5's
// signature (the file is created with its superblock at once).
static bool left_by_a_killed_run(const char *path, const struct stat &st) {
    if (st.st_size == 0)
        return true;
    static const char signature[8] = {'\x89', 'H', 'D', 'F', '\r', '\n', '\x1a', '\n'};
    char head[8];
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool hdf5 = read(fd, head, sizeof head) == (ssize_t)sizeof head &&
                memcmp(head, signature, sizeof head) == 0;
    close(fd);
    return hdf5;
}

// OUT is replaced by a rename at the very end and OUT.part created
// afresh: an OUT that is not a regular file (/dev/null, a directory, a
// pipe) would be replaced by a file, and the table itself would be lost,
// so both are refused before any work. An OUT.part that a killed run left
// (see left_by_a_killed_run) is removed; anything else of that name (a
// link, a device, some other file) is not this program's and is refused,
// so that nothing is written through it or removed.
int output_check(const Options &o, const std::string &part) {
    struct stat out, table, left;
    if (stat(o.out.c_str(), &out) == 0) {
        if (!S_ISREG(out.st_mode)) {
            message("%s: exists and is not a regular file; it is not replaced", o.out.c_str());
            return 2;
        }
        if (stat(o.table.c_str(), &table) == 0 && table.st_dev == out.st_dev &&
            table.st_ino == out.st_ino) {
            message("%s: is the table itself; choose another output", o.out.c_str());
            return 2;
        }
    }
    if (lstat(part.c_str(), &left) == 0) {
        if (!S_ISREG(left.st_mode) || !left_by_a_killed_run(part.c_str(), left)) {
            message("%s: exists and is not a file left by an interrupted run; it is not "
                    "replaced",
                    part.c_str());
            return 2;
        }
        unlink(part.c_str());
    }
    return 0;
}

// Creating OUT.part at once tells before the survey, which may take
// minutes, whether the directory takes the file at all; HDF5 later
// truncates and writes it.
int output_create(const std::string &part) {
    int fd = open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        message("%s: cannot create: %s", part.c_str(), strerror(errno));
        return 1;
    }
    close(fd);
    return 0;
}

// The closing line of a written file.
static void report_written(const Run &run) {
    message("%s: %llu events (%llu cut short), %zu channels; %llu warning%s", run.opt.out.c_str(),
            (unsigned long long)run.events, (unsigned long long)run.cut_events, run.channels.size(),
            (unsigned long long)run.warnings, run.warnings == 1 ? "" : "s");
    precision_summary(run);
}

// Whether OUT.part becomes OUT is decided once, with the interrupts held
// back: an interrupt that came before is one that stops the run, and OUT
// stays as it was; one that comes after finds the file complete and in
// place, and is only noted.
int output_finish(Run &run, const std::string &part, int rc) {
    progress_done(run);
    hold_interrupts();
    int sig = interrupted();
    if (rc == 0 && sig == 0 && rename(part.c_str(), run.opt.out.c_str()) != 0) {
        message("cannot rename %s to %s: %s", part.c_str(), run.opt.out.c_str(), strerror(errno));
        rc = 1;
    }
    if (rc != 0 || sig != 0)
        unlink(part.c_str());
    if (sig != 0) {
        message("interrupted; %s not written", run.opt.out.c_str());
        return 128 + sig;
    }
    if (rc == 0) {
        report_written(run);
        if (interrupt_held())
            message("an interrupt came after %s was complete; the file is written",
                    run.opt.out.c_str());
    }
    return rc;
}
