#pragma once

#include "fs/Laufwerkstabelle.h"
#include "ui/Ereignisrahmen.h"

#include <QComboBox>

#include <functional>

namespace tresor::ui {

// The drive list: a drop-down list of the drives of a drive table, showing the current one.
//
// Change is raised synchronously: inside a write of Drive that changes the drive, and when the user picks
// another drive (then inside Rahmen). Refilling the list from a new table raises nothing.
class Laufwerksliste : public QComboBox {
    Q_OBJECT
public:
    explicit Laufwerksliste(QWidget* parent);

    // Fills the list with the drives of the table. The current drive stays selected (by its letter); a
    // current drive that the table no longer holds stays in the list as the current one. Raises nothing.
    void SetLaufwerke(const Laufwerkstabelle& tabelle);

    // The drive text of the current drive: letter, colon, then what the drive is ("C: [/]"); empty while
    // the list holds no drive.
    [[nodiscard]] QString Drive() const;
    // Selects the drive named by the first two characters ("D:", letter case ignored) and raises Change
    // when that changes the current drive. Throws FsFehler when the table holds no such drive.
    void SetDrive(const QString& laufwerk);

    // The handler of the list's Change event.
    std::function<void()> Change;
    // Called before the list opens, so that the owner can refresh the drive table (SetLaufwerke).
    std::function<void()> VorDemOeffnen;
    // The frame in which a change by the user runs.
    Ereignisrahmen Rahmen = OhneRahmen;

    void showPopup() override;

private:
    void AuswahlGeaendert(int index);
    void Melden();

    bool stumm_ = false;
};

} // namespace tresor::ui
