#include "ui/Verzeichnisliste.h"

#include "fs/Attribute.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QStyle>

#include <vector>

namespace tresor::ui {

namespace {

constexpr int PfadRolle = Qt::UserRole;

QTreeWidgetItem* NeuerEintrag(const QString& text, const Pfad& pfad, const QIcon& symbol) {
    auto* eintrag = new QTreeWidgetItem(QStringList{text});
    eintrag->setIcon(0, symbol);
    eintrag->setData(0, PfadRolle, QByteArray::fromStdString(pfad));
    eintrag->setToolTip(0, QString::fromUtf8(pfad));
    return eintrag;
}

} // namespace

Verzeichnisliste::Verzeichnisliste(QWidget* parent, Dateisystemquelle dateisystem)
    : QTreeWidget(parent), dateisystem_(std::move(dateisystem)) {
    setColumnCount(1);
    header()->hide();
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setExpandsOnDoubleClick(false);
    setUniformRowHeights(true);
    setIndentation(fontMetrics().averageCharWidth() * 2);
    setSelectionMode(QAbstractItemView::SingleSelection);
    connect(this, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* eintrag, int) { Rahmen([this, eintrag] { Oeffnen(eintrag); }); });
}

Pfad Verzeichnisliste::PfadVon(const QTreeWidgetItem* eintrag) {
    return eintrag->data(0, PfadRolle).toByteArray().toStdString();
}

void Verzeichnisliste::SetPath(const Pfad& pfad) {
    const bool neu = pfad != pfad_;
    Lesen(pfad);
    if (neu && Change)
        Change();
}

void Verzeichnisliste::Refresh() {
    if (!pfad_.empty())
        Lesen(pfad_);
}

void Verzeichnisliste::Lesen(const Pfad& pfad) {
    // Read everything first, so that a failure leaves the list as it was.
    std::unique_ptr<Dateisystem> fs = dateisystem_();
    const Ordner ordner = fs->GetFolder(pfad);
    std::vector<Ordner> unterordner;
    for (Ordner& unter : fs->SubFolders(ordner)) {
        // A lookup with mask 16 admits plain folders only, so it leaves hidden and system folders out.
        if (!fs->Dir(unter.Path, attr::Verzeichnis).empty())
            unterordner.push_back(std::move(unter));
    }

    const QIcon offen = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon zu = style()->standardIcon(QStyle::SP_DirClosedIcon);
    clear();
    // The chain from the drive root ("C:\") down to the open folder.
    const Pfad wurzel = pfad.substr(0, 3);
    QTreeWidgetItem* eintrag = NeuerEintrag(QString::fromUtf8(wurzel), wurzel, offen);
    addTopLevelItem(eintrag);
    std::size_t anfang = 3;
    while (anfang < pfad.size()) {
        std::size_t ende = pfad.find('\\', anfang);
        if (ende == Pfad::npos)
            ende = pfad.size();
        auto* kind = NeuerEintrag(QString::fromUtf8(pfad.substr(anfang, ende - anfang)), pfad.substr(0, ende), offen);
        eintrag->addChild(kind);
        eintrag = kind;
        anfang = ende + 1;
    }
    QTreeWidgetItem* geoeffnet = eintrag;
    for (const Ordner& unter : unterordner)
        geoeffnet->addChild(NeuerEintrag(QString::fromUtf8(unter.Name), unter.Path, zu));
    expandAll();
    setCurrentItem(geoeffnet);
    scrollToItem(geoeffnet);
    pfad_ = pfad;
}

void Verzeichnisliste::Oeffnen(const QTreeWidgetItem* eintrag) {
    if (eintrag != nullptr)
        SetPath(PfadVon(eintrag));
}

void Verzeichnisliste::keyPressEvent(QKeyEvent* ereignis) {
    if (ereignis->key() == Qt::Key_Return || ereignis->key() == Qt::Key_Enter) {
        QTreeWidgetItem* eintrag = currentItem();
        Rahmen([this, eintrag] { Oeffnen(eintrag); });
        return;
    }
    QTreeWidget::keyPressEvent(ereignis);
}

} // namespace tresor::ui
