// The window's program: started by tresor-ix when it is given no arguments (the process keeps its ID).
#include "app/Umgebung.h"
#include "fs/posix/PosixDateisystem.h"
#include "ui/Programmkennung.h"
#include "ui/Sicherungsfenster.h"

#include <QApplication>

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
    // Every end of the program goes through the window (Abbrechen, closing, a failure).
    QApplication::setQuitOnLastWindowClosed(false);

    tresor::Systemuhr uhr;
    tresor::ui::Sicherungsfenster fenster(
        &tresor::Laufwerkstabelle::AusMountTabelle, uhr,
        [](const tresor::Laufwerkstabelle& tabelle) { return tresor::ErzeugePosixDateisystem(tabelle); });
    QApplication::setWindowIcon(fenster.windowIcon());
    fenster.Laden();
    if (fenster.Beendet())
        return fenster.Exitstatus();
    fenster.show();
    return QApplication::exec();
}
