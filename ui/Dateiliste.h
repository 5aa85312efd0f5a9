#pragma once

#include "fs/Pfad.h"
#include "ui/Verzeichnisliste.h"

#include <QListWidget>

namespace tresor::ui {

// The file list: the names of the regular files in the folder given to it, in the file system's order,
// without hidden and system files; symbolic links (to files, to folders, broken ones) are no files. Selecting a name
// does nothing else.
class Dateiliste : public QListWidget {
    Q_OBJECT
public:
    Dateiliste(QWidget* parent, Dateisystemquelle dateisystem);

    // The folder whose files are shown; empty before the first write.
    [[nodiscard]] const Pfad& Path() const noexcept { return pfad_; }
    // Shows the files of the folder. Throws FsFehler when the folder cannot be read; the list then stays
    // as it was.
    void SetPath(const Pfad& pfad);
    // Re-reads the file names from disk and repaints the list.
    void Refresh();

private:
    void Lesen(const Pfad& pfad);

    Dateisystemquelle dateisystem_;
    Pfad pfad_;
};

} // namespace tresor::ui
