#pragma once

#include "engine/sicherung/Uhr.h"
#include "tests/Dateisystemhuelle.h"
#include "tests/Testhilfen.h"
#include "ui/Sicherungsfenster.h"

#include <QMessageBox>
#include <QSizeF>
#include <QString>
#include <QStringList>

#include <ostream>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Readable failure messages for Qt strings.
inline void PrintTo(const QString& text, std::ostream* aus) {
    *aus << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& liste, std::ostream* aus) {
    *aus << '{' << liste.join(QStringLiteral(", ")).toStdString() << '}';
}

namespace tresor::test {

// A clock standing at 7 February 2002, 13:42:27 that records the order of its readings ('D', 'T').
class Testuhr final : public Uhr {
public:
    Datum Date() override {
        Lesungen += 'D';
        return {2002, 2, 7};
    }
    Zeit Time() override {
        Lesungen += 'T';
        return {13, 42, 27};
    }
    std::string Lesungen;
};

// What the window showed in one message box, and the state around it at that moment.
struct GezeigteMeldung {
    QString Text;
    QMessageBox::Icon Symbol = QMessageBox::NoIcon;
    QString Titel;
    int MousePointer = -1;
    bool Wartezeiger = false; // an override cursor was set
    QString copyversion;
};

// The window with its seams observed: message boxes are recorded instead of shown (unless EchteMeldungen),
// the end of the program is recorded, the screen size and the backup run can be replaced.
class Testfenster : public ui::Sicherungsfenster {
public:
    using ui::Sicherungsfenster::Sicherungsfenster;

    std::vector<GezeigteMeldung> Meldungen;
    std::vector<int> Enden;
    bool EchteMeldungen = false;
    std::optional<QSizeF> Schirm;
    std::function<void()> Lauf; // replaces the engine's run when set

protected:
    int ZeigeMeldung(const QString& text, QMessageBox::Icon symbol, const QString& titel) override;
    void ProgrammEnde(int status) override { Enden.push_back(status); }
    void SicherungLaufen() override;
    QSizeF Bildschirm() const override { return Schirm ? *Schirm : ui::Sicherungsfenster::Bildschirm(); }
};

// A temporary folder with the drives C: and D: inside it and a window over them on the real file system.
class Fensterumgebung {
public:
    Fensterumgebung();
    // The absolute POSIX folder of a drive letter's root.
    std::filesystem::path Wurzel(char laufwerk) const;
    // Makes a new window over the current drive table (Testfenster::Laden not yet called).
    std::unique_ptr<Testfenster> NeuesFenster();

    TempOrdner Ordner;
    std::vector<Laufwerk> Laufwerke;
    Testuhr Uhr;
    int TabellenLesungen = 0;
    // When set, the windows' file-system objects are wrapped and this runs at every report of a copy's progress.
    Dateisystemhuelle::WaehrendKopie WaehrendKopie;
};

// Waits up to two seconds, processing events, until the condition holds.
[[nodiscard]] bool WarteBis(const std::function<bool()>& bedingung);

// The texts of a list widget's rows / of a directory list's entries as "depth:text".
QStringList Zeilen(const QListWidget& liste);
QStringList Eintraege(const QTreeWidget& liste);

} // namespace tresor::test
