// h5_input.cc - the table file read line by line, in large blocks.
//
// Tables run to tens of GB, and one row of a megapixel camera is several MB
// of text, so the file is read with read(2) into one buffer that holds at
// least the current line: it grows to the longest line of the table and
// never with the length of the file.
#include "korvel_h5.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static const size_t READ_BLOCK = 4u << 20;  // bytes asked of read(2) at once

int input_open(Input &in, const char *path)
{
    in = Input();
    in.fd = open(path, O_RDONLY | O_CLOEXEC);
    if (in.fd < 0)
        return -1;
    struct stat st;
    if (fstat(in.fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        int e = S_ISDIR(st.st_mode) ? EISDIR : errno;
        close(in.fd);
        in.fd = -1;
        errno = e;
        return -1;
    }
    in.size = (uint64_t)st.st_size;
    posix_fadvise(in.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return 0;
}

int input_rewind(Input &in)
{
    if (lseek(in.fd, 0, SEEK_SET) != 0)
        return -1;
    in.begin = in.end = 0;
    in.eof = false;
    in.line = 0;
    in.offset = 0;
    return 0;
}

void input_close(Input &in)
{
    if (in.fd >= 0)
        close(in.fd);
    in.fd = -1;
    std::vector<char>().swap(in.buf);
}

// Moves the unread bytes to the front, makes room for a block and reads
// it. Returns 1 when bytes came, 0 at the end of the file, -1 on error.
static int refill(Input &in)
{
    if (in.begin > 0) {
        memmove(in.buf.data(), in.buf.data() + in.begin, in.end - in.begin);
        in.end -= in.begin;
        in.begin = 0;
    }
    if (in.buf.size() - in.end < READ_BLOCK)
        in.buf.resize(in.end + READ_BLOCK);
    for (;;) {
        ssize_t n = read(in.fd, in.buf.data() + in.end, in.buf.size() - in.end);
        if (n > 0) {
            in.end += (size_t)n;
            in.offset += (uint64_t)n;
            return 1;
        }
        if (n == 0) {
            in.eof = true;
            return 0;
        }
        if (errno != EINTR) {
            in.error = errno;
            return -1;
        }
    }
}

int input_line(Input &in, const char **b, const char **e, bool *newline)
{
    size_t scanned = in.begin;
    for (;;) {
        const char *base = in.buf.data();
        const void *nl = in.end > scanned
                             ? memchr(base + scanned, '\n', in.end - scanned) : nullptr;
        if (nl) {
            *b = base + in.begin;
            *e = (const char *)nl;
            *newline = true;
            in.begin = (size_t)(*e - base) + 1;
            in.line++;
            return 1;
        }
        if (in.eof) {
            if (in.begin == in.end)
                return 0;
            *b = base + in.begin;
            *e = base + in.end;
            *newline = false;
            in.begin = in.end;
            in.line++;
            return 1;
        }
        size_t seen = in.end - in.begin;
        int r = refill(in);
        if (r < 0)
            return -1;
        scanned = in.begin + seen;
    }
}

uint64_t input_consumed(const Input &in)
{
    return in.offset - (in.end - in.begin);
}
