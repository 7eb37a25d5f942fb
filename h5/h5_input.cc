// h5_input.cc - the table file read line by line.
//
// Tables run to tens of GB, and one row of a megapixel camera is several MB
// of text. The file is mapped into memory, so that a line is handed out
// where it lies (no copy, whatever its length), and the pages behind the
// reader are released from the mapping as it goes: the resident memory
// stays that of the lines being read, never of the file. Both walks see
// the bytes the file held when it was opened, even if it grows meanwhile.
#include "h5_converter.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// Pages behind the reader are given back in steps of this many bytes.
static const uint64_t RELEASE_STEP = 8u << 20;

// The table is read twice (survey, then conversion) and mapped, so it must
// be a regular file. O_NONBLOCK keeps the open of a FIFO without a writer
// from waiting; it changes nothing for a regular file.
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
    if (in.size > 0) {
        void *m = mmap(nullptr, (size_t)in.size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (m == MAP_FAILED) {
            int e = errno;
            close(fd);
            in.fd = -1;
            errno = e;
            return -1;
        }
        madvise(m, (size_t)in.size, MADV_SEQUENTIAL);
        in.map = (const char *)m;
    }
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
    in.released = 0;
    in.line = 0;
    return 0;
}

void input_close(Input &in) {
    if (in.map)
        munmap((void *)in.map, (size_t)in.size);
    if (in.fd >= 0)
        close(in.fd);
    in.map = nullptr;
    in.fd = -1;
}

// Gives the pages before offset `until` back (they stay in the page cache).
static void release_behind(Input &in, uint64_t until) {
    long page = sysconf(_SC_PAGESIZE);
    uint64_t end = until / (uint64_t)page * (uint64_t)page;
    if (end < in.released + RELEASE_STEP)
        return;
    madvise((void *)(in.map + in.released), (size_t)(end - in.released), MADV_DONTNEED);
    in.released = end;
}

int input_line(Input &in, const char **b, const char **e, bool *newline) {
    if (in.pos >= in.size)
        return 0;
    release_behind(in, in.pos);
    const char *start = in.map + in.pos;
    size_t left = (size_t)(in.size - in.pos);
    const char *nl = (const char *)memchr(start, '\n', left);
    *b = start;
    *e = nl ? nl : start + left;
    *newline = nl != nullptr;
    in.pos += (uint64_t)(*e - start) + (nl ? 1 : 0);
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
