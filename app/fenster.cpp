// The window's program: started by tresor-ix when it is given no arguments (the process keeps its ID), or
// with "--sicherungen [--ziel ZIEL]", which opens the window Sicherungen alone.
#include "app/Umgebung.h"
#include "fs/posix/PosixDateisystem.h"
#include "ui/Programmkennung.h"
#include "ui/Sicherungsfenster.h"
#include "ui/Sicherungsuebersicht.h"

#include <QApplication>
#include <QDir>

#include <iostream>
#include <memory>

namespace {

// The backups window over the mount table as it is now.
std::unique_ptr<tresor::ui::Sicherungsuebersicht> NeueUebersicht() {
    const tresor::Laufwerkstabelle tabelle = tresor::Laufwerkstabelle::AusMountTabelle();
    return std::make_unique<tresor::ui::Sicherungsuebersicht>(
        tabelle, [tabelle] { return tresor::ErzeugePosixDateisystem(tabelle); });
}

// "--sicherungen [--ziel ZIEL]": the backups window alone; the program ends when it is closed.
int NurSicherungen(const QStringList& argumente) {
    QString ziel;
    for (qsizetype i = 2; i < argumente.size(); ++i) {
        if (argumente[i] == QStringLiteral("--ziel") && i + 1 < argumente.size()) {
            ziel = argumente[++i];
        } else {
            std::cerr << "tresor-ix: --sicherungen kennt nur --ziel ZIEL, nicht »" << argumente[i].toStdString()
                      << "«.\n";
            return 2;
        }
    }
    QApplication::setQuitOnLastWindowClosed(true);
    auto fenster = NeueUebersicht();
    fenster->show();
    if (!ziel.isEmpty()) {
        // A POSIX path, relative to the current folder where not absolute, or the program's form (D:\Backup).
        const bool programmform = ziel.size() >= 3 && ziel[1] == QLatin1Char(':') && ziel[2] == QLatin1Char('\\');
        fenster->Ziel->setText(programmform ? ziel : QDir::current().absoluteFilePath(ziel));
        fenster->Ziel->returnPressed();
    }
    return QApplication::exec();
}

} // namespace

int main(int argc, char* argv[]) {
    // Run by root, plugins come only from the system's folders.
    (void)tresor::OhneFremdeLadepfade();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(tresor::kennung::Produktname));
    QApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                            .arg(tresor::kennung::Major)
                                            .arg(tresor::kennung::Minor)
                                            .arg(tresor::kennung::Revision));
    QApplication::setDesktopFileName(QStringLiteral("tresor-ix"));
    const QStringList argumente = QApplication::arguments();
    if (argumente.size() > 1 && argumente[1] == QStringLiteral("--sicherungen"))
        return NurSicherungen(argumente);
    // Every end of the program goes through the window (Abbrechen, closing, a failure).
    QApplication::setQuitOnLastWindowClosed(false);

    tresor::Systemuhr uhr;
    tresor::ui::Sicherungsfenster fenster(
        &tresor::Laufwerkstabelle::AusMountTabelle, uhr,
        [](const tresor::Laufwerkstabelle& tabelle) { return tresor::ErzeugePosixDateisystem(tabelle); });
    QApplication::setWindowIcon(fenster.windowIcon());
    // The backups window, opened from the target list's context menu; it goes with the main window.
    std::unique_ptr<tresor::ui::Sicherungsuebersicht> sicherungen;
    fenster.SicherungenZeigen = [&sicherungen](const tresor::Pfad& ziel, const std::string& ordner) {
        if (!sicherungen)
            sicherungen = NeueUebersicht();
        sicherungen->show();
        sicherungen->raise();
        sicherungen->activateWindow();
        sicherungen->ZeigeZiel(ziel, ordner);
    };
    fenster.Laden();
    if (fenster.Beendet())
        return fenster.Exitstatus();
    fenster.show();
    const int status = QApplication::exec();
    sicherungen.reset();
    return status;
}
