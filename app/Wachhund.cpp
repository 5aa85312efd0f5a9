#include "app/Wachhund.h"

namespace tresor {

Wachhund::Wachhund(std::chrono::milliseconds grenze, std::string meldung,
                   std::function<void(const std::string&)> abgelaufen)
    : grenze_(grenze), meldung_(std::move(meldung)), abgelaufen_(std::move(abgelaufen)),
      zuletzt_(std::chrono::steady_clock::now()), waechter_([this] { Wache(); }) {}

Wachhund::~Wachhund() {
    {
        const std::lock_guard<std::mutex> halt(sperre_);
        ende_ = true;
    }
    wecker_.notify_all();
    waechter_.join();
}

void Wachhund::Lebenszeichen() {
    const std::lock_guard<std::mutex> halt(sperre_);
    zuletzt_ = std::chrono::steady_clock::now();
}

void Wachhund::Grenze(std::chrono::milliseconds grenze) {
    {
        const std::lock_guard<std::mutex> halt(sperre_);
        grenze_ = grenze;
        zuletzt_ = std::chrono::steady_clock::now();
    }
    wecker_.notify_all();
}

void Wachhund::Meldung(std::string meldung) {
    const std::lock_guard<std::mutex> halt(sperre_);
    meldung_ = std::move(meldung);
}

void Wachhund::Aus() {
    {
        const std::lock_guard<std::mutex> halt(sperre_);
        aus_ = true;
    }
    wecker_.notify_all();
}

void Wachhund::Wache() {
    std::unique_lock<std::mutex> halt(sperre_);
    for (;;) {
        // Off: only the end is waited for.
        wecker_.wait(halt, [this] { return ende_ || !aus_; });
        if (ende_)
            return;
        const auto frist = zuletzt_ + grenze_;
        if (std::chrono::steady_clock::now() >= frist) {
            const std::string meldung = meldung_;
            halt.unlock();
            abgelaufen_(meldung);
            return;
        }
        // Woken early by the end, a new bound or switching off; a sign of life meanwhile just moves the
        // deadline looked at next.
        wecker_.wait_until(halt, frist);
    }
}

} // namespace tresor
