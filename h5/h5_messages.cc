// h5_messages.cc - what korvel-h5 tells its user and hears from outside:
// messages and warnings (counted for the closing summary), the progress
// bar, and the signals (the interrupt flag, a second interrupt).
#include "h5_converter.h"

#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

// ---- Messages ---------------------------------------------------------------------------

static void vmessage(const char *prefix, const char *fmt, va_list ap) {
    fprintf(stderr, "korvel-h5: %s", prefix);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
}

void message(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vmessage("", fmt, ap);
    va_end(ap);
}

// "TABLE:LINE: " (or "TABLE: " for line 0, a remark on the whole run).
static std::string where(const Run &run, uint64_t line) {
    return line ? run.opt.table + ":" + std::to_string(line) + ": " : run.opt.table + ": ";
}

static bool warnings_held = false;

void warnings_hold(bool hold) {
    warnings_held = hold;
}

void warn_line(Run &run, uint64_t line, const char *fmt, ...) {
    if (warnings_held)
        return;
    progress_done(run);
    run.warnings++;
    std::string prefix = where(run, line) + "warning: ";
    va_list ap;
    va_start(ap, fmt);
    vmessage(prefix.c_str(), fmt, ap);
    va_end(ap);
}

void error_line(const Run &run, uint64_t line, const char *fmt, ...) {
    progress_done(run);
    std::string prefix = where(run, line);
    va_list ap;
    va_start(ap, fmt);
    vmessage(prefix.c_str(), fmt, ap);
    va_end(ap);
}

void too_many_channels(const Run &run, uint64_t line, uint64_t channels) {
    error_line(run, line,
               "%llu channels, more than the %llu this converter takes (the chunks "
               "being filled may hold %llu MiB together, at least %llu bytes a "
               "channel); not converted",
               (unsigned long long)channels, (unsigned long long)MAX_CHANNELS,
               (unsigned long long)(CHUNK_MEMORY >> 20), (unsigned long long)CHANNEL_CHUNK_BYTES);
}

// ---- Progress bar ------------------------------------------------------------------------

static double bar_last;  // when the bar was last drawn (monotonic seconds)
static bool bar_shown;   // a bar stands on the terminal's last line

static double now_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return (double)ts.tv_sec + ts.tv_nsec * 1e-9;
}

void progress_update(const Run &run, const Input &in, const char *label) {
    if (!run.opt.progress)
        return;
    double t = now_seconds();
    if (t - bar_last < 0.1)
        return;
    bar_last = t;
    uint64_t done = input_consumed(in);
    int pct = in.size ? (int)(done * 100 / in.size) : 100;
    pct = pct > 100 ? 100 : pct;
    char bar[41];
    memset(bar, '#', (size_t)(pct * 40 / 100));
    memset(bar + pct * 40 / 100, '.', (size_t)(40 - pct * 40 / 100));
    bar[40] = 0;
    fprintf(stderr, "\r%-8s [%s] %3d%%", label, bar, pct);
    bar_shown = true;
}

void progress_done(const Run &run) {
    if (run.opt.progress && bar_shown)
        fputs("\r\033[K", stderr);
    bar_shown = false;
    bar_last = 0;
}

// ---- Interrupts ------------------------------------------------------------------------------

// The first SIGINT, SIGTERM or SIGHUP. Atomic, as the layout job reads it
// on a worker thread; lock-free, so that the handler may set it.
static std::atomic<int> got_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler sets got_signal");
static char part_path[4096];  // removed when a second one ends the process

// A second signal ends the process at once, without the orderly end the
// first one asked for; the half-written output goes with it, so that no
// OUT.part is left for anyone to mistake for a file. Only
// async-signal-safe calls.
static void on_signal(int sig) {
    if (got_signal.load()) {
        if (part_path[0])
            unlink(part_path);
        _exit(128 + sig);
    }
    got_signal.store(sig);
}

int interrupted() {
    return got_signal.load();
}

static const int INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP};

static void interrupt_set(sigset_t *set) {
    sigemptyset(set);
    for (int s : INTERRUPTS)
        sigaddset(set, s);
}

void hold_interrupts() {
    sigset_t set;
    interrupt_set(&set);
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

bool interrupt_held() {
    sigset_t pending;
    if (sigpending(&pending) != 0)
        return false;
    for (int s : INTERRUPTS)
        if (sigismember(&pending, s) == 1)
            return true;
    return false;
}

void remove_part_on_second_interrupt(const char *path) {
    snprintf(part_path, sizeof part_path, "%s", path);
}

void catch_signals() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int s : INTERRUPTS)
        sigaction(s, &sa, nullptr);
    sigset_t set;  // held back by an earlier run in this process (see hold_interrupts)
    interrupt_set(&set);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);

    // A file-size limit (ulimit -f) would end the process at the write
    // that passes it, leaving OUT.part and no word; ignored, the write
    // fails with EFBIG and is reported like a full disk.
    signal(SIGXFSZ, SIG_IGN);
}
