#pragma once

#include "fs/Pfad.h"
#include "ui/Verzeichnisliste.h"

#include <QObject>
#include <QPoint>

#include <functional>
#include <string>

namespace tresor::ui {

// The context menu of the main window's target list: "Sicherungen anzeigen …" for the folder shown and,
// when the entry under the pointer (or the current entry, from the keyboard) is a backup folder, for that
// backup as well. It opens on a right click, the Menu key or Shift+F10; nothing else of the list changes
// (a double click still opens the folder).
class Zielmenue : public QObject {
    Q_OBJECT
public:
    // What a choice of the menu asks for: the backups of the target folder `ziel`, with the point of the backup
    // folder `ordner` chosen when it is not empty.
    using Zeigen = std::function<void(const Pfad& ziel, const std::string& ordner)>;
    Zielmenue(Verzeichnisliste* liste, Zeigen zeigen);

    // Opens the menu for the entry at `stelle` (viewport coordinates), or for the current entry when none is
    // given. The menu is shown without a nested event loop.
    void Oeffne(const std::optional<QPoint>& stelle);

protected:
    bool eventFilter(QObject* ziel, QEvent* ereignis) override;

private:
    Verzeichnisliste* liste_;
    Zeigen zeigen_;
};

// The target folder and the backup folder's name of a path: "D:\Backup\Sicherung-…" gives "D:\Backup" and
// the name, any other folder itself and "".
std::pair<Pfad, std::string> ZielUndStand(const Pfad& pfad);

} // namespace tresor::ui
