#include "platform/posix/interrupts.h"

#include <csignal>
#include <initializer_list>

namespace dosprep::posix {

namespace {

volatile std::sig_atomic_t g_signal = 0;

void NoteSignal(int signal) {
    if (g_signal == 0)
        g_signal = signal;
}

} // namespace

void CatchInterrupts() {
    struct sigaction action {};
    action.sa_handler = NoteSignal;
    sigfillset(&action.sa_mask); // no SA_RESTART: a waiting flock must return
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        // One ignored by whoever started the run (a background job) stays so.
        struct sigaction old {};
        if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
    std::signal(SIGXFSZ, SIG_IGN);
}

int Interruption() noexcept {
    return g_signal;
}

} // namespace dosprep::posix
