#pragma once

#include "engine/wiederherstellung/Rueckholauftrag.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QObject>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace tresor::ui {

// One long task of the backups window on a thread of its own, with its progress in a bar (percentage and
// time left, from the totals it knows) and a button that asks it to stop. The window stays responsive:
// the task tells its progress through Melde (any thread); the bar is brought up to date every 100 ms on the
// window's thread, and `fertig` runs there once the task has ended.
class Hintergrundarbeit : public QObject {
    Q_OBJECT
public:
    Hintergrundarbeit(QProgressBar* balken, QLabel* rest, QPushButton* abbrechen, QObject* parent = nullptr);
    ~Hintergrundarbeit() override;

    // Starts the task unless one runs; false when one does.
    bool Starte(const QString& was, std::function<void()> aufgabe, std::function<void()> fertig);
    [[nodiscard]] bool Laeuft() const noexcept { return laeuft_; }
    // The flag the task looks at: true once Abbrechen was pressed.
    [[nodiscard]] const std::atomic<bool>* Stopp() const noexcept { return &stopp_; }
    // Asks the task to stop (the button's click; safe from any thread).
    void Anhalten() { stopp_ = true; }
    // Progress of the task (from its thread).
    void Melde(const Rueckholstand& stand);
    // Waits until the task has ended (the window closing).
    void Warte();

signals:
    // From the task's thread, once it has ended.
    void Beendet();

private:
    void Zeige();
    void Ende();

    QProgressBar* balken_;
    QLabel* rest_;
    QPushButton* abbrechen_;
    QTimer takt_;
    QElapsedTimer uhr_;
    std::thread faden_;
    std::atomic<bool> stopp_ = false;
    bool laeuft_ = false;
    std::mutex schutz_;
    Rueckholstand stand_;
    bool gemeldet_ = false;
    std::function<void()> fertig_;
};

// "noch etwa 5 s", "noch etwa 3 min", "noch etwa 2 h 10 min" from the part done after `ms` milliseconds;
// "" while too little is done to tell.
QString Restzeit(double anteil, qint64 ms);

// Bytes for people: "0 Bytes", "512 Bytes", "1,5 KB", "12,3 MB", "2,0 GB" (1 KB = 1024 Bytes).
QString Groessentext(std::uint64_t bytes);

} // namespace tresor::ui
