#include "ui/Punktansicht.h"

#include "ui/Hintergrundarbeit.h"

#include <QApplication>
#include <QLocale>
#include <QStyle>

#include <map>

namespace tresor::ui {

QString Zeitpunkttext(const std::string& zeit) {
    const QDateTime t = QDateTime::fromString(QString::fromStdString(zeit), QStringLiteral("yyyy-MM-dd--HH-mm-ss"));
    if (!t.isValid())
        return QString::fromStdString(zeit);
    return t.toString(QStringLiteral("dd.MM.yyyy, HH:mm:ss 'Uhr'"));
}

QString Zeittext(std::int64_t ns) {
    return QDateTime::fromMSecsSinceEpoch(ns / 1000000).toString(QStringLiteral("dd.MM.yyyy, HH:mm:ss 'Uhr'"));
}

void FuellePunkte(QTreeWidget& liste, const std::vector<Listenpunkt>& punkte) {
    liste.clear();
    std::map<std::string, QTreeWidgetItem*> quellen;
    QTreeWidgetItem* unbekannt = nullptr;
    for (std::size_t i = 0; i < punkte.size(); ++i) {
        const Listenpunkt& p = punkte[i];
        // A source that no drive reaches today is a group of its own, by the place it had: the folder its letter
        // names today may have backups of its own here.
        QTreeWidgetItem*& gruppe =
            p.Quelle ? quellen[*p.Quelle + '\0' + (p.Verzeichnet ? "-" + *p.Verzeichnet : std::string())] : unbekannt;
        if (gruppe == nullptr) {
            gruppe = new QTreeWidgetItem(QStringList{!p.Quelle    ? QStringLiteral("Quelle unbekannt")
                                                     : p.Verdeckt ? QString::fromUtf8(p.Quelltext())
                                                                  : QString::fromUtf8(*p.Quelle)});
            gruppe->setIcon(0, QApplication::style()->standardIcon(QStyle::SP_DirIcon));
            gruppe->setFlags(Qt::ItemIsEnabled);
            if (p.Quelle)
                liste.addTopLevelItem(gruppe);
        }
        const bool mitZahlen = p.Art != Listenpunkt::Zustand::OhneBestand && p.Art != Listenpunkt::Zustand::Kaputt;
        auto* zeile = new QTreeWidgetItem(gruppe, QStringList{Zeitpunkttext(p.Zeit()),
                                                              mitZahlen ? QString::number(p.Dateien) : QString(),
                                                              mitZahlen ? Groessentext(p.Bytes) : QString(),
                                                              QString::fromStdString(p.Zustandstext())});
        zeile->setData(0, PunktRolle, static_cast<qulonglong>(i));
        zeile->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
        zeile->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
        if (!p.Grund.empty())
            zeile->setToolTip(3, QString::fromStdString(p.Grund));
        if (p.Art != Listenpunkt::Zustand::Vollstaendig) {
            QFont schrift = zeile->font(3);
            schrift.setItalic(true);
            zeile->setFont(3, schrift);
        }
        if (!p.Quelle)
            zeile->setFlags(Qt::ItemIsEnabled); // no source to browse or restore it as
    }
    if (unbekannt != nullptr)
        liste.addTopLevelItem(unbekannt);
    for (int i = 0; i < liste.topLevelItemCount(); ++i) {
        liste.topLevelItem(i)->setFirstColumnSpanned(true);
        liste.topLevelItem(i)->setExpanded(true);
    }
}

QString Zustandstext(const Baumeintrag& e) {
    switch (e.Zustand) {
    case Baumeintrag::Lage::Gesichert:
        return QStringLiteral("gesichert");
    case Baumeintrag::Lage::Fehlt:
        return QStringLiteral("fehlt: ") + QString::fromUtf8(e.Grund);
    case Baumeintrag::Lage::NichtGesichert:
        return QStringLiteral("nicht gesichert: ") + QString::fromUtf8(e.Grund);
    case Baumeintrag::Lage::Eingehaengt:
        break;
    }
    return QStringLiteral("eingehängt, nicht gesichert");
}

void FuelleOrdner(QTreeWidget& liste, const Punktbaum& baum, const std::string& ordner) {
    liste.clear();
    QStyle* stil = QApplication::style();
    std::vector<std::size_t> reihe;
    for (std::size_t i : baum.In(ordner))
        if (baum.Eintraege[i].Art == Eintragsart::Ordner)
            reihe.push_back(i);
    for (std::size_t i : baum.In(ordner))
        if (baum.Eintraege[i].Art != Eintragsart::Ordner)
            reihe.push_back(i);
    for (std::size_t i : reihe) {
        const Baumeintrag& e = baum.Eintraege[i];
        const bool istOrdner = e.Art == Eintragsart::Ordner;
        std::string name = e.Pfad.substr(ordner == "." ? 0 : ordner.size() + 1);
        auto* zeile = new QTreeWidgetItem(
            &liste, QStringList{QString::fromUtf8(name),
                                istOrdner ? QString() : Groessentext(static_cast<std::uint64_t>(e.Groesse)),
                                e.MtimeNs != 0 ? Zeittext(e.MtimeNs) : QString(), Zustandstext(e),
                                istOrdner ? QString() : QString::fromUtf8(e.Ort == OrtFehlt ? std::string() : e.Ort)});
        zeile->setIcon(0, stil->standardIcon(istOrdner                       ? QStyle::SP_DirIcon
                                             : e.Art == Eintragsart::Verweis ? QStyle::SP_FileLinkIcon
                                                                             : QStyle::SP_FileIcon));
        zeile->setData(0, EintragRolle, QByteArray::fromStdString(e.Pfad));
        zeile->setData(0, OrdnerRolle, istOrdner && e.Zustand != Baumeintrag::Lage::Eingehaengt);
        zeile->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
        if (e.Zustand != Baumeintrag::Lage::Gesichert) {
            for (int spalte = 0; spalte < 5; ++spalte) {
                QFont schrift = zeile->font(spalte);
                schrift.setItalic(true);
                zeile->setFont(spalte, schrift);
            }
            zeile->setToolTip(0, Zustandstext(e));
        }
    }
}

} // namespace tresor::ui
