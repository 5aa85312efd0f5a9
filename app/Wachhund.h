#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tresor {

// Bounds how long the program may go without a sign of life. A network share whose server stops answering
// leaves a call of the file system waiting, possibly for ever (the nightly service would then never end): a
// thread of its own waits beside the program, and once the bound has passed since the last Lebenszeichen it
// calls `abgelaufen` with the message, once. The program's handler reports and ends the process; whatever was
// copied but not yet marked keeps its archive bit, and the next run copies it again. A call that a FUSE
// client has already taken ends only when that client answers or gives up (sshfs with ServerAliveInterval,
// smbnetfs by its own timeout); every other wait ends with the process. Ended with the object (its destructor
// waits for the thread).
class Wachhund {
public:
    Wachhund(std::chrono::milliseconds grenze, std::string meldung,
             std::function<void(const std::string& meldung)> abgelaufen);
    ~Wachhund();
    Wachhund(const Wachhund&) = delete;
    Wachhund& operator=(const Wachhund&) = delete;

    // The program made progress: the bound starts again from now. Cheap enough for every file and every piece.
    void Lebenszeichen();
    // Another bound, from now on.
    void Grenze(std::chrono::milliseconds grenze);
    // The message given to `abgelaufen` from now on (one that names what does not answer).
    void Meldung(std::string meldung);
    // No bound any more (a mode that reports no progress).
    void Aus();

private:
    void Wache();

    std::chrono::milliseconds grenze_;
    std::string meldung_;
    std::function<void(const std::string&)> abgelaufen_;
    std::mutex sperre_;
    std::condition_variable wecker_;
    std::chrono::steady_clock::time_point zuletzt_;
    bool aus_ = false;
    bool ende_ = false;
    std::thread waechter_;
};

} // namespace tresor
