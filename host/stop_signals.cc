// stop_signals.cc - how korvel-replay lets a signal end a run cleanly:
// SIGINT, SIGTERM and SIGHUP ask for the end after the event in progress
// (drive() watches the flag), a second one ends the process at once;
// SIGPIPE, which every write to a closed pipe raises, asks for the same end
// and never kills. SIGXFSZ, which a write past the file-size limit
// (ulimit -f) raises, is ignored: the write then fails with EFBIG, and the
// plug-in's and the host's checks of every output name the file and end
// the run with status 1 instead of a silent death.
#include <signal.h>

#include <cstring>

#include "standin.h"

namespace standin {
namespace {

// The first signal that asked the run to end, 0 while none did. Written
// only by the handlers below, read by drive() between events.
volatile std::sig_atomic_t g_stop_signal = 0;

// A repeated interrupt means "now": the default action ends the process
// with the signal, as if no handler had been installed. Both calls are
// async-signal-safe.
void on_interrupt(int sig) {
    if (g_stop_signal != 0) {
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    g_stop_signal = sig;
}

// The write that raised it fails with EPIPE and the plug-in goes on; each
// later write raises it again, so it never counts as a second signal.
void on_broken_pipe(int) {
    if (g_stop_signal == 0)
        g_stop_signal = SIGPIPE;
}

bool install(int sig, void (*handler)(int)) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    // Restarted calls: an interrupted read or write of the plug-in must
    // not fail with EINTR and be reported as a lost output.
    sa.sa_flags = SA_RESTART;
    return sigaction(sig, &sa, nullptr) == 0;
}

}  // namespace

const volatile std::sig_atomic_t *install_stop_signals() {
    install(SIGINT, on_interrupt);
    install(SIGTERM, on_interrupt);
    install(SIGHUP, on_interrupt);
    install(SIGPIPE, on_broken_pipe);
    install(SIGXFSZ, SIG_IGN);
    return &g_stop_signal;
}

const char *stop_signal_name(int sig) {
    switch (sig) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGPIPE: return "SIGPIPE";
    default: return "a signal";
    }
}

}  // namespace standin
