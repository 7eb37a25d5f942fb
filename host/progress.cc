// progress.cc - the progress bar of korvel-replay on standard error, and
// how it keeps out of the plug-in's way on a terminal.
//
// When standard output and standard error are both terminals, the plug-in's
// lines and the bar would meet on one line ("[####…] 91%  547 eventsEqData
// type FLOAT"). While the bar is up, standard output is therefore routed
// through a stream of our own (fopencookie) whose every write first clears
// the bar; the bar comes back at its next redraw, at most ten times a
// second. A plug-in that prints nothing leaves the bar alone.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "host_internal.h"

namespace standin {
namespace {

// Erase the line the cursor is on and go to its start (any VT100 terminal).
const char kClearLine[] = "\r\033[K";

// Write all of `n` bytes to `fd`; false with errno set on failure.
bool write_all(int fd, const char *buf, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, buf, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        buf += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// The write function of the routed standard output: the bar steps aside,
// then the bytes go to the real descriptor. On failure it keeps errno for
// the check of standard output after the run and returns 0, which sets the
// stream's error flag as a failed write to stdout would.
ssize_t write_clearing_bar(void *cookie, const char *buf, size_t n) {
    ProgressBar *bar = static_cast<ProgressBar *>(cookie);
    bar->clear();
    if (write_all(STDOUT_FILENO, buf, n))
        return static_cast<ssize_t>(n);
    bar->note_stdout_error(errno ? errno : EIO);
    return 0;
}

}  // namespace

ProgressBar::ProgressBar(FILE *out, bool on) : out_(out), on_(on) {
    if (on_ && out_ == stderr && isatty(STDOUT_FILENO) && isatty(STDERR_FILENO))
        route_stdout();
}

ProgressBar::~ProgressBar() {
    finish();
}

// Swap stdout for a line-buffered stream that clears the bar before each
// write. glibc's stdout is an assignable variable, and the plug-in reaches
// it through the same symbol, so its printf calls take the new stream.
void ProgressBar::route_stdout() {
    fflush(stdout);
    cookie_io_functions_t io = {};
    io.write = write_clearing_bar;
    FILE *routed = fopencookie(this, "w", io);
    if (!routed)
        return;  // the bar may then share a line; nothing is lost
    setvbuf(routed, nullptr, _IOLBF, BUFSIZ);
    real_stdout_ = stdout;
    stdout = routed;
}

// Put the real stdout back; what the routed stream still holds is written
// first.
void ProgressBar::restore_stdout() {
    if (!real_stdout_)
        return;
    FILE *routed = stdout;
    if (fflush(routed) != 0 && stdout_error_ == 0)
        note_stdout_error(errno ? errno : EIO);
    stdout = real_stdout_;
    real_stdout_ = nullptr;
    fclose(routed);
}

void ProgressBar::note_stdout_error(int err) {
    if (stdout_error_ == 0)
        stdout_error_ = err;
}

void ProgressBar::update(long long events, double fraction, bool force) {
    if (!on_)
        return;
    auto now = std::chrono::steady_clock::now();
    if (!force && ever_drawn_ && now - last_ < std::chrono::milliseconds(100))
        return;
    last_ = now;
    ever_drawn_ = drawn_ = true;
    if (fraction < 0) {
        fprintf(out_, "\r%lld events", events);
    } else {
        const int width = 30;
        int full = static_cast<int>(fraction * width + 0.5);
        char bar[width + 1];
        for (int i = 0; i < width; i++)
            bar[i] = i < full ? '#' : '.';
        bar[width] = '\0';
        fprintf(out_, "\r[%s] %3d%%  %lld events", bar, static_cast<int>(fraction * 100 + 0.5),
                events);
    }
    fflush(out_);
}

void ProgressBar::clear() {
    if (!drawn_)
        return;
    fputs(kClearLine, out_);
    fflush(out_);
    drawn_ = false;
}

void ProgressBar::finish() {
    if (on_ && drawn_) {
        fputc('\n', out_);
        fflush(out_);
    }
    drawn_ = false;
    on_ = false;
    restore_stdout();
}

}  // namespace standin
