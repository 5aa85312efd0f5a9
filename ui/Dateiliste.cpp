#include "ui/Dateiliste.h"

#include "fs/Attribute.h"
#include "fs/Eintragsstand.h"

namespace tresor::ui {

Dateiliste::Dateiliste(QWidget* parent, Dateisystemquelle dateisystem)
    : QListWidget(parent), dateisystem_(std::move(dateisystem)) {
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
}

void Dateiliste::SetPath(const Pfad& pfad) {
    Lesen(pfad);
}

void Dateiliste::Refresh() {
    if (!pfad_.empty())
        Lesen(pfad_);
}

void Dateiliste::Lesen(const Pfad& pfad) {
    std::unique_ptr<Dateisystem> fs = dateisystem_();
    const Ordner ordner = fs->GetFolder(pfad);
    QStringList namen;
    for (const Datei& datei : fs->Files(ordner)) {
        // Files lists links too (the backup keeps them); the list shows files only: no link to a file or a
        // folder, no broken link.
        const auto stand = fs->Stand(datei.Path);
        if (!stand || stand->Typ != Eintragsstand::Art::Datei)
            continue;
        if ((fs->Attributes(datei) & (attr::Versteckt | attr::System)) == 0)
            namen.append(QString::fromUtf8(datei.Name));
    }
    clear();
    addItems(namen);
    pfad_ = pfad;
}

} // namespace tresor::ui
