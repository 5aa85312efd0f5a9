#include "ui/Zielmenue.h"

#include "engine/bestand/Bestandsformat.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>

namespace tresor::ui {

std::pair<Pfad, std::string> ZielUndStand(const Pfad& pfad) {
    const std::size_t schnitt = pfad.rfind('\\');
    if (schnitt == Pfad::npos || schnitt + 1 >= pfad.size())
        return {pfad, {}};
    const std::string name = pfad.substr(schnitt + 1);
    if (!IstSicherungsordnername(name))
        return {pfad, {}};
    return {schnitt <= 2 ? pfad.substr(0, 3) : pfad.substr(0, schnitt), name};
}

Zielmenue::Zielmenue(Verzeichnisliste* liste, Zeigen zeigen)
    : QObject(liste), liste_(liste), zeigen_(std::move(zeigen)) {
    liste_->setContextMenuPolicy(Qt::PreventContextMenu);
    liste_->installEventFilter(this);
    liste_->viewport()->installEventFilter(this);
}

bool Zielmenue::eventFilter(QObject* ziel, QEvent* ereignis) {
    if (ereignis->type() == QEvent::MouseButtonPress && ziel == liste_->viewport()) {
        const auto* maus = static_cast<QMouseEvent*>(ereignis);
        if (maus->button() == Qt::RightButton) {
            Oeffne(maus->position().toPoint());
            return true;
        }
    }
    if (ereignis->type() == QEvent::KeyPress && ziel == liste_) {
        const auto* taste = static_cast<QKeyEvent*>(ereignis);
        if (taste->key() == Qt::Key_Menu || (taste->key() == Qt::Key_F10 && taste->modifiers() == Qt::ShiftModifier)) {
            Oeffne(std::nullopt);
            return true;
        }
    }
    return QObject::eventFilter(ziel, ereignis);
}

void Zielmenue::Oeffne(const std::optional<QPoint>& stelle) {
    const QTreeWidgetItem* eintrag = stelle ? liste_->itemAt(*stelle) : liste_->currentItem();
    QPoint wo = stelle ? *stelle : QPoint(8, 8);
    if (!stelle && eintrag != nullptr)
        wo = liste_->visualItemRect(eintrag).bottomLeft();
    auto* menue = new QMenu(liste_);
    menue->setAttribute(Qt::WA_DeleteOnClose);
    const std::pair<Pfad, std::string> hier = ZielUndStand(liste_->Path());
    menue->addAction(QStringLiteral("Sicherungen &anzeigen …"), this,
                     [this, hier] { zeigen_(hier.first, hier.second); });
    if (eintrag != nullptr) {
        const std::pair<Pfad, std::string> dort = ZielUndStand(Verzeichnisliste::PfadVon(eintrag));
        if (!dort.second.empty() && dort.second != hier.second)
            menue->addAction(QStringLiteral("%1 &zeigen …").arg(QString::fromUtf8(dort.second)), this,
                             [this, dort] { zeigen_(dort.first, dort.second); });
    }
    menue->popup(liste_->viewport()->mapToGlobal(wo));
}

} // namespace tresor::ui
