#pragma once

#include "fs/Dateisystem.h"
#include "fs/Pfad.h"
#include "ui/Ereignisrahmen.h"

#include <QTreeWidget>

#include <functional>
#include <memory>

namespace tresor::ui {

// Creates a file-system object over the window's current drive table.
using Dateisystemquelle = std::function<std::unique_ptr<Dateisystem>()>;

// The directory list: the folders of one drive from its root down to the open folder (open-folder icons,
// each one level further in), then the open folder's subfolders (closed-folder icons, one level further).
// Hidden and system folders are not listed. The user opens a folder by a double click or with Enter.
//
// The list reads the disk only through the file-system layer; a folder that cannot be read (a drive that
// is not ready, a folder that is gone) throws FsFehler out of the write or Refresh that read it.
class Verzeichnisliste : public QTreeWidget {
    Q_OBJECT
public:
    Verzeichnisliste(QWidget* parent, Dateisystemquelle dateisystem);

    // The full path of the open folder in the program's path form; empty before the first write.
    [[nodiscard]] const Pfad& Path() const noexcept { return pfad_; }
    // Opens the folder: reads it and shows it, then raises Change when the open folder changed. Writing the
    // open folder again re-reads it and raises nothing. Throws FsFehler when the folder cannot be read; the
    // list then stays as it was.
    void SetPath(const Pfad& pfad);
    // Re-reads the open folder's subfolders from disk and repaints the list.
    void Refresh();

    // The handler of the list's Change event.
    std::function<void()> Change;
    // The frame in which a folder opened by the user is read and Change runs.
    Ereignisrahmen Rahmen = OhneRahmen;

    // The path that an entry of the list stands for.
    [[nodiscard]] static Pfad PfadVon(const QTreeWidgetItem* eintrag);

protected:
    void keyPressEvent(QKeyEvent* ereignis) override;

private:
    void Lesen(const Pfad& pfad);
    void Oeffnen(const QTreeWidgetItem* eintrag);

    Dateisystemquelle dateisystem_;
    Pfad pfad_;
};

} // namespace tresor::ui
