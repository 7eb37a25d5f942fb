// h5_input.cc - the table file read line by line.
//
// Tables run to tens of GB, and one row of a megapixel camera is several MB
// of text. The file is read with pread into one buffer that is used again
// and again, and a line is handed out where it lies in that buffer; the
// buffer grows only to hold the longest line. A mapping of the file would
// save the copy, but each page of a mapping is touched for the first time
// on every walk, and on a virtual machine that first touch costs several
// times the copy (on this project's machine a mapped 367 MB table was
// scanned for line ends at 2.2 GB/s, the same table read into a reused
// buffer at 12 GB/s). Both walks see the bytes the file held when it was
// opened, even if it grows meanwhile; a file that shrinks is an error,
// not a shorter table.
#include "h5_converter.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The table is read twice (survey, then conversion), so it must be a
// regular file. O_NONBLOCK keeps the open of a FIFO without a writer from
// waiting; it changes nothing for a regular file.
int input_open(Input &in, const char *path) {
    in = Input();
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        int e = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
        close(fd);
        errno = e;
        return e ? -1 : -2;
    }
    in.fd = fd;
    in.size = (uint64_t)st.st_size;
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return 0;
}

const char *input_open_error(int result) {
    if (result == -2)
        return "not a regular file; a table must be one, as it is read twice "
               "(save a pipe's output to a file first)";
    return strerror(errno);
}

int input_rewind(Input &in) {
    in.pos = 0;
    in.line = 0;
    in.begin = in.end = in.searched = 0;
    in.read_to = 0;
    in.error = 0;
    return 0;
}

void input_close(Input &in) {
    if (in.fd >= 0)
        close(in.fd);
    free(in.buf);
    in.buf = nullptr;
    in.cap = 0;
    in.fd = -1;
}

const char *input_error(const Input &in) {
    return in.error == EIO ? "the file became shorter while it was read" : strerror(in.error);
}

// The most one pread asks for: the piece just read is still in the
// processor's cache when the line end is looked for in it.
static const uint64_t READ_PIECE = 256u << 10;

// Room for at least `want` bytes after the unread part: the unread part
// is moved to the buffer's start, and the buffer doubles when that is not
// enough (only a line longer than the buffer makes it grow).
static bool make_room(Input &in, size_t want) {
    if (in.begin > 0) {
        memmove(in.buf, in.buf + in.begin, in.end - in.begin);
        in.end -= in.begin, in.searched -= in.begin, in.begin = 0;
    }
    if (in.cap - in.end >= want)
        return true;
    size_t cap = in.cap ? in.cap : in.min_buffer > 0 ? in.min_buffer : 1;
    while (cap - in.end < want)
        cap *= 2;
    char *b = (char *)realloc(in.buf, cap);
    if (!b) {
        in.error = ENOMEM;
        return false;
    }
    in.buf = b, in.cap = cap;
    return true;
}

// Reads the next part of the file after the unread bytes. Returns the
// bytes read, 0 at the size the file had when it was opened, -1 on error.
static ssize_t read_more(Input &in) {
    uint64_t left = in.size - in.read_to;
    if (left == 0)
        return 0;
    // Reads of at least half the first size; fewer bytes only at the end.
    size_t step = in.min_buffer > 1 ? in.min_buffer / 2 : 1;
    if (in.cap - in.end < step && !make_room(in, step))
        return -1;
    size_t room = in.cap - in.end;
    size_t want = std::min<uint64_t>({left, room, READ_PIECE});
    ssize_t n;
    do
        n = pread(in.fd, in.buf + in.end, want, (off_t)in.read_to);
    while (n < 0 && errno == EINTR);
    if (n <= 0) {
        in.error = n == 0 ? EIO : errno;
        return -1;
    }
    in.end += (size_t)n, in.read_to += (uint64_t)n;
    return n;
}

int input_line(Input &in, const char **b, const char **e, bool *newline) {
    if (in.error)
        return -1;
    const char *nl = nullptr;
    for (;;) {
        if (in.searched < in.end)
            nl = (const char *)memchr(in.buf + in.searched, '\n', in.end - in.searched);
        if (nl)
            break;
        in.searched = in.end;
        ssize_t r = read_more(in);
        if (r < 0)
            return -1;
        if (r == 0)
            break;
    }
    if (!nl && in.begin == in.end)
        return 0;
    const char *start = in.buf + in.begin;
    *b = start;
    *e = nl ? nl : in.buf + in.end;
    *newline = nl != nullptr;
    size_t used = (size_t)(*e - start) + (nl ? 1 : 0);
    in.begin += used, in.searched = in.begin, in.pos += used;
    in.line++;
    // A table that passed through a Windows tool ends its lines in "\r\n":
    // the '\r' belongs to the line end, not to the last cell. No cell of
    // the plug-in holds a carriage return.
    if (nl && *e > *b && (*e)[-1] == '\r')
        --*e;
    return 1;
}

uint64_t input_consumed(const Input &in) {
    return in.pos;
}
