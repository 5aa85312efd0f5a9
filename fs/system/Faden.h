#pragma once

#include <pthread.h>
#include <signal.h>

#include <system_error>
#include <thread>
#include <utility>

namespace tresor {

// Starts `arbeit` on a thread that takes no signal: a signal to the process (a stop asked for) reaches the
// thread doing the run's own work and interrupts what it is doing, as it did without the helper thread. A new
// thread inherits the mask of the thread that starts it. Where no thread can be started, the result is not
// joinable and the caller does the work itself.
template <typename Arbeit> std::thread FadenOhneSignale(Arbeit&& arbeit) {
    sigset_t alle;
    sigset_t bisher;
    sigfillset(&alle);
    pthread_sigmask(SIG_SETMASK, &alle, &bisher);
    std::thread faden;
    try {
        faden = std::thread(std::forward<Arbeit>(arbeit));
    } catch (const std::system_error&) {
    }
    pthread_sigmask(SIG_SETMASK, &bisher, nullptr);
    return faden;
}

} // namespace tresor
