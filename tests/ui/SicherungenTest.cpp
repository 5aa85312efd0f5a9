// The window Sicherungen on a real target with several points: its list is the listing, a point's tree is
// its record, restores through it give the source as it was (into a folder, or back to the original place
// with each answer to a conflict), Abbrechen stops a restore without a half-written file; and the ways into
// it from the main window. Also the main window's file list, which shows regular files only.
#include "engine/wiederherstellung/Auswahl.h"
#include "tests/cli/Schnappschuss.h"
#include "tests/cli/Wiederherstellungstest.h"
#include "tests/ui/Fensterhilfen.h"
#include "ui/Punktansicht.h"
#include "ui/Sicherungsuebersicht.h"
#include "ui/Zielmenue.h"

#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace tresor::test {
namespace {

// The window with its questions answered by the test.
class Testuebersicht : public ui::Sicherungsuebersicht {
public:
    using ui::Sicherungsuebersicht::Sicherungsuebersicht;
    Wohin wohin = Wohin::Ordner;
    std::optional<Pfad> ordner;
    std::vector<Konfliktantwort> antworten; // the last one repeats
    std::vector<std::string> gefragt;
    QStringList hinweise;

protected:
    Wohin FrageWohin(bool) override { return wohin; }
    std::optional<Pfad> WaehleOrdner() override { return ordner; }
    Konfliktantwort FrageKonflikt(const Konflikt& k) override {
        gefragt.push_back(k.Pfad);
        return antworten[std::min(gefragt.size(), antworten.size()) - 1];
    }
    void Hinweis(const QString& text) override { hinweise.append(text); }
    std::optional<Behalteregel> FrageRegel() override { return regel; }
    bool BestaetigeAusduennung(const Ausduennungsplan& plan) override {
        geplant = plan;
        return ausduennen;
    }

public:
    std::optional<Behalteregel> regel;
    bool ausduennen = false;
    std::optional<Ausduennungsplan> geplant;
    // The window's own question where a restore goes, answered by `antwort` given the question box.
    Wohin FrageWohinSelbst(const std::function<void(QMessageBox&)>& antwort) {
        QTimer::singleShot(0, [&antwort] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                antwort(*box);
        });
        return ui::Sicherungsuebersicht::FrageWohin(true);
    }
};

class Sicherungen : public Kettentest {
protected:
    // The window over the target, its newest point open.
    void Oeffne(Dateisystemhuelle::WaehrendKopie waehrend = {}) {
        fenster = std::make_unique<Testuebersicht>(laufwerke, [this, waehrend]() -> std::unique_ptr<Dateisystem> {
            if (!waehrend)
                return ErzeugePosixDateisystem(laufwerke);
            auto h = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke), nullptr);
            h->waehrendKopie = waehrend;
            return h;
        });
        fenster->show();
        fenster->ZeigeZiel("D:\\Backup");
        ASSERT_TRUE(Ruhig());
        ASSERT_TRUE(fenster->Baum().has_value());
    }
    bool Ruhig() {
        return QTest::qWaitFor([this] { return !fenster->Arbeit().Laeuft(); }, 20000);
    }
    // The rows of the folder view: name column.
    QStringList Namen() const {
        QStringList namen;
        for (int i = 0; i < fenster->Inhalt->topLevelItemCount(); ++i)
            namen.append(fenster->Inhalt->topLevelItem(i)->text(0));
        return namen;
    }
    QTreeWidgetItem* Zeile(const QString& name) const {
        for (int i = 0; i < fenster->Inhalt->topLevelItemCount(); ++i)
            if (fenster->Inhalt->topLevelItem(i)->text(0) == name)
                return fenster->Inhalt->topLevelItem(i);
        return nullptr;
    }
    QString Ergebnis() const {
        QStringList zeilen;
        for (int i = 0; i < fenster->Ergebnis->count(); ++i)
            zeilen.append(fenster->Ergebnis->item(i)->text());
        return zeilen.join(QLatin1Char('\n'));
    }

    std::unique_ptr<Testuebersicht> fenster;
};

TEST_F(Sicherungen, ThePointsAreTheListingNewestFirstAndATreeIsItsRecordFolderByFolder) {
    Kette();
    Oeffne();
    ASSERT_EQ(Rufe({"--liste", "--ziel", "D:\\Backup"}), 0);
    QStringList liste = QString::fromStdString(aus.str()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(fenster->Punkte->topLevelItemCount(), 1);
    const QTreeWidgetItem* quelle = fenster->Punkte->topLevelItem(0);
    EXPECT_EQ(quelle->text(0), QStringLiteral("C:\\Daten"));
    ASSERT_EQ(quelle->childCount(), liste.size());
    for (int i = 0; i < quelle->childCount(); ++i) {
        const QTreeWidgetItem* zeile = quelle->child(i);
        const Listenpunkt& p = fenster->Liste()[zeile->data(0, ui::PunktRolle).toULongLong()];
        // Newest first: the listing's last line first.
        EXPECT_EQ(QString::fromStdString(p.Zeile()), liste[liste.size() - 1 - i]);
        EXPECT_EQ(zeile->text(0), ui::Zeitpunkttext(staende[staende.size() - 1 - i]));
        EXPECT_EQ(zeile->text(1), QString::number(p.Dateien));
        EXPECT_EQ(zeile->text(3), QStringLiteral("vollständig"));
    }
    EXPECT_EQ(ui::Zeitpunkttext("2026-03-14--09-00-03"), QStringLiteral("14.03.2026, 09:00:03 Uhr"));

    // The newest point is open: folders first, then the files and the link, as its record holds them.
    struct Fall {
        std::size_t punkt; // index of the point, oldest first
        std::string ordner;
        QStringList namen;
    };
    for (const Fall& f : std::vector<Fall>{
             {2,
              ".",
              {QStringLiteral("sub"), QStringLiteral("a.txt"), QStringLiteral("d.txt"), QStringLiteral("zeiger")}},
             {2, "sub", {QStringLiteral("b.txt"), QStringLiteral("c.txt")}},
             {0, ".", {QStringLiteral("sub"), QStringLiteral("a.txt"), QStringLiteral("zeiger")}},
             {0, "sub", {QStringLiteral("tief"), QStringLiteral("b.txt")}},
             {0, "sub/tief", {QStringLiteral("t.txt")}},
         }) {
        SCOPED_TRACE(staende[f.punkt] + " " + f.ordner);
        fenster->Punkte->setCurrentItem(quelle->child(static_cast<int>(staende.size() - 1 - f.punkt)));
        ASSERT_TRUE(Ruhig());
        fenster->OeffneOrdner(".");
        // Opened as the user does: Enter on each folder's row.
        std::string weg;
        for (const QString& name : QString::fromStdString(f.ordner).split(QLatin1Char('/'))) {
            if (name == QStringLiteral("."))
                break;
            QTreeWidgetItem* zeile = Zeile(name);
            ASSERT_NE(zeile, nullptr);
            fenster->Inhalt->setCurrentItem(zeile);
            QTest::keyClick(fenster->Inhalt, Qt::Key_Return);
        }
        EXPECT_EQ(fenster->Ordner(), f.ordner);
        EXPECT_EQ(Namen(), f.namen);
        const auto gelesen = LiesBestand(LiesDatei(Sicherungsordner(staende[f.punkt]) / Bestandsdateiname(0)));
        for (const Bestandseintrag& e : std::get<Bestand>(gelesen).Eintraege) {
            if (Elternpfad(e.Pfad) != f.ordner || e.Art == Eintragsart::Ordner)
                continue;
            const QTreeWidgetItem* zeile = Zeile(QString::fromStdString(Letzter(e.Pfad)));
            ASSERT_NE(zeile, nullptr) << e.Pfad;
            EXPECT_EQ(zeile->text(1), ui::Groessentext(static_cast<std::uint64_t>(e.Groesse)));
            EXPECT_EQ(zeile->text(2), ui::Zeittext(e.MtimeNs));
            EXPECT_EQ(zeile->text(3), QStringLiteral("gesichert"));
            EXPECT_EQ(zeile->text(4).toStdString(), e.Ort);
        }
    }
    // Backspace goes up a folder.
    QTest::keyClick(fenster->Inhalt, Qt::Key_Backspace);
    EXPECT_EQ(fenster->Ordner(), "sub");
}

TEST_F(Sicherungen, AnEntryNotInThePointIsShownAsSuch) {
    Kette();
    fs::remove_all(Sicherungsordner(staende[1]));
    Oeffne();
    ASSERT_NE(Zeile(QStringLiteral("a.txt")), nullptr);
    EXPECT_EQ(Zeile(QStringLiteral("a.txt"))->text(3),
              QStringLiteral("fehlt: nicht mehr in Sicherung-") + QString::fromStdString(staende[1]));
    EXPECT_TRUE(Zeile(QStringLiteral("a.txt"))->font(0).italic());
    EXPECT_EQ(Zeile(QStringLiteral("d.txt"))->text(3), QStringLiteral("gesichert"));
}

TEST_F(Sicherungen, RestoresThroughTheWindowGiveTheSourceAsItWasAtThePoint) {
    Kette();
    // Since the first point: a.txt changed, sub/b.txt gone.
    Schreibe(Q() / "a.txt", "lokal geändert");
    fs::remove(Q() / "sub" / "b.txt");
    struct Fall {
        const char* name;
        std::size_t punkt;
        QStringList auswahl; // rows of the source folder; empty: the whole point
        bool ursprung;
        Konfliktwahl antwort;
        std::string a; // a.txt afterwards (in the folder restored into, or at the original place)
        bool datiert;  // the point's a.txt beside it under the dated name
    };
    const std::vector<Fall> faelle = {
        {"ganz in einen Ordner", 1, {}, false, Konfliktwahl::Ueberspringen, "zwei, länger", false},
        {"Auswahl in einen Ordner", 0, {QStringLiteral("sub")}, false, Konfliktwahl::Ueberspringen, "", false},
        {"ursprünglich, überspringen", 0, {}, true, Konfliktwahl::Ueberspringen, "lokal geändert", false},
        {"ursprünglich, beide",
         0,
         {QStringLiteral("a.txt")},
         true,
         Konfliktwahl::BeideBehalten,
         "lokal geändert",
         true},
        {"ursprünglich, ersetzen", 0, {}, true, Konfliktwahl::Ersetzen, "eins", false},
    };
    Oeffne();
    for (std::size_t i = 0; i < faelle.size(); ++i) {
        const Fall& f = faelle[i];
        SCOPED_TRACE(f.name);
        const QTreeWidgetItem* quelle = fenster->Punkte->topLevelItem(0);
        fenster->Punkte->setCurrentItem(quelle->child(static_cast<int>(staende.size() - 1 - f.punkt)));
        ASSERT_TRUE(Ruhig());
        fenster->Inhalt->clearSelection();
        for (const QString& name : f.auswahl)
            Zeile(name)->setSelected(true);
        const fs::path nach = temp / "C" / ("zurueck" + std::to_string(i));
        fenster->wohin = f.ursprung ? Testuebersicht::Wohin::Ursprung : Testuebersicht::Wohin::Ordner;
        fenster->ordner = "C:\\zurueck" + std::to_string(i);
        fenster->antworten = {{f.antwort, true}};
        fenster->gefragt.clear();
        QTest::mouseClick(f.auswahl.isEmpty() ? fenster->StandZurueck : fenster->AuswahlZurueck, Qt::LeftButton);
        ASSERT_TRUE(Ruhig());
        EXPECT_TRUE(fenster->Balken->value() == 1000) << Ergebnis().toStdString();
        const fs::path wo = f.ursprung ? Q() : nach;
        if (!f.ursprung) {
            Schnappschuss soll = schnappschuesse[f.punkt];
            if (!f.auswahl.isEmpty())
                std::erase_if(soll, [](const auto& e) { return e.first != "sub" && !e.first.starts_with("sub/"); });
            soll.erase(".");
            Schnappschuss ist = Schnappe(nach);
            ist.erase(".");
            EXPECT_EQ(Unterschiede(soll, ist), "");
            continue;
        }
        // One question for all, about a.txt; what was missing came back without one.
        EXPECT_EQ(fenster->gefragt, std::vector<std::string>{"a.txt"}) << Ergebnis().toStdString();
        EXPECT_EQ(LiesDatei(wo / "a.txt"), f.a);
        EXPECT_EQ(fs::exists(wo / DatierterName("a.txt", staende[0])), f.datiert);
        fs::remove(wo / DatierterName("a.txt", staende[0]));
        if (f.auswahl.isEmpty()) {
            EXPECT_EQ(LiesDatei(wo / "sub" / "b.txt"), "bbb");
        }
        EXPECT_EQ(LiesDatei(wo / "d.txt"), "d");
    }
}

TEST_F(Sicherungen, AbbrechenStopsARestoreWithNothingHalfWrittenUnderARealName) {
    Schreibe(Q() / "a.txt", "klein");
    Schreibe(Q() / "gross.bin", std::string(24u << 20, 'g'));
    Schreibe(Q() / "z.txt", "danach");
    Punkt();
    int meldungen = 0;
    Oeffne([&](const Datei& d, std::uint64_t, std::uint64_t) {
        // Amid the large file's copy the user presses Abbrechen (the copy runs on the window's worker).
        if (d.Name == "gross.bin" && ++meldungen == 1)
            QMetaObject::invokeMethod(fenster->Abbrechen, &QPushButton::click, Qt::BlockingQueuedConnection);
    });
    fenster->ordner = "C:\\zurueck";
    QTest::mouseClick(fenster->StandZurueck, Qt::LeftButton);
    EXPECT_TRUE(fenster->Arbeit().Laeuft());
    ASSERT_TRUE(Ruhig());
    EXPECT_EQ(meldungen, 1);
    EXPECT_TRUE(Ergebnis().contains(QStringLiteral("Angehalten: 2 Dateien"))) << Ergebnis().toStdString();
    Schnappschuss ist = Schnappe(temp / "C" / "zurueck");
    ist.erase(".");
    ASSERT_EQ(ist.size(), 1u);
    EXPECT_EQ(ist.begin()->second, schnappschuesse[0].at("a.txt"));
}

TEST_F(Sicherungen, ACheckIsShownAsAList) {
    Kette();
    Oeffne();
    fenster->MitQuelle->setChecked(true);
    Schreibe(Q() / "neu.txt", "n");
    QTest::mouseClick(fenster->Pruefen, Qt::LeftButton);
    ASSERT_TRUE(Ruhig());
    EXPECT_EQ(Ergebnis(), QStringLiteral("Stand %1 ist vollständig wiederherstellbar: 1 Ordner, 4 Dateien, 1 "
                                         "Verknüpfungen.\nNeu in der Quelle: neu.txt\nDie Quelle weicht in 1 "
                                         "Eintrag vom Stand %1 ab.")
                              .arg(QString::fromStdString(staende[2])));
}

TEST_F(Sicherungen, ACheckNamesACopyWhoseContentChanged) {
    Schreibe(Q() / "a.txt", "eins");
    Punkt();
    MitSummen(Sicherungsordner(staende[0]), false);
    Ueberschreibe(Sicherungsordner(staende[0]) / "Daten" / "a.txt", 0, "E");
    Oeffne();
    QTest::mouseClick(fenster->Pruefen, Qt::LeftButton);
    ASSERT_TRUE(Ruhig());
    EXPECT_TRUE(Ergebnis().startsWith(
        QStringLiteral("Beschädigt: a.txt: der Inhalt der Kopie in Sicherung-%1 weicht vom gesicherten ab\n")
            .arg(QString::fromStdString(staende[0]))))
        << Ergebnis().toStdString();
}

TEST_F(Sicherungen, ThinningShowsWhatGoesAndWhatItFreesAsksOnceAndKeepsTheKeptPointWhole) {
    Kette();
    Oeffne();
    struct Fall {
        std::optional<Behalteregel> regel; // nothing: the question for the rule cancelled
        bool ja;
        std::size_t danach; // points in the list afterwards
    };
    for (const Fall& f :
         std::vector<Fall>{{std::nullopt, true, 3}, {Behalteregel{1}, false, 3}, {Behalteregel{1}, true, 1}}) {
        fenster->regel = f.regel;
        fenster->ausduennen = f.ja;
        fenster->geplant.reset();
        QTest::mouseClick(fenster->AusduennenKnopf, Qt::LeftButton);
        ASSERT_TRUE(Ruhig());
        ASSERT_TRUE(Ruhig());
        EXPECT_EQ(fenster->geplant.has_value(), f.regel.has_value());
        if (fenster->geplant) {
            EXPECT_EQ(fenster->geplant->Gehen.size(), 2u) << fenster->geplant->Gehen[0];
            EXPECT_TRUE(Ergebnis().contains(QStringLiteral("Entfernen: Stand ") + ui::Zeitpunkttext(staende[0])))
                << Ergebnis().toStdString();
        }
        EXPECT_EQ(fenster->Liste().size(), f.danach);
        EXPECT_EQ(fs::exists(Sicherungsordner(staende[0])), f.danach == 3);
    }
    EXPECT_TRUE(Ergebnis().contains(QStringLiteral("Ausgedünnt: 2 Stände entfernt"))) << Ergebnis().toStdString();
    // The point that stays is whole.
    EXPECT_EQ(Wiederherstellen(staende[2], temp / "C" / "zurueck"), 0) << fehler.str();
    Schnappschuss soll = schnappschuesse[2], ist = Schnappe(temp / "C" / "zurueck");
    soll.erase(".");
    ist.erase(".");
    EXPECT_EQ(Unterschiede(soll, ist), "");
}

// A source whose disk is gone and whose letter names another drive today is a group of its own, shown with the
// place it had. Its points open, restore into a folder and check as its records name them; the folder its letter
// names today is never taken for it: no original place of it, nothing to compare it with, and it is not thinned.
TEST_F(Sicherungen, AGoneSourceWhoseLetterNamesAnotherDriveIsAGroupOfItsOwnAndRestoresAsRecorded) {
    Kette();
    // Another drive has the letter C: now, with a folder Daten of its own and a backup of it in the same target.
    laufwerke = Laufwerkstabelle({Laufwerk{'C', (temp / "X").string(), {}}, Laufwerk{'D', (temp / "D").string(), {}}});
    Schreibe(temp / "X" / "Daten" / "x.txt", "das andere Laufwerk");
    (void)Sichere();
    const Schnappschuss heute = Schnappe(temp / "X" / "Daten");
    Oeffne();
    ASSERT_EQ(fenster->Punkte->topLevelItemCount(), 2);
    EXPECT_EQ(fenster->Punkte->topLevelItem(0)->text(0), QStringLiteral("C:\\Daten"));
    EXPECT_EQ(fenster->Punkte->topLevelItem(0)->childCount(), 1);
    const QTreeWidgetItem* gruppe = fenster->Punkte->topLevelItem(1);
    EXPECT_EQ(gruppe->text(0), QStringLiteral("C:\\Daten (früher %1)").arg(QString::fromStdString(Q().string())));
    ASSERT_EQ(gruppe->childCount(), 3);
    fenster->Punkte->setCurrentItem(gruppe->child(0));
    ASSERT_TRUE(Ruhig());
    EXPECT_EQ(Namen(), (QStringList{QStringLiteral("sub"), QStringLiteral("a.txt"), QStringLiteral("d.txt"),
                                    QStringLiteral("zeiger")}));
    // The folder line names the place the folder had, not only the one its path names today, at each level.
    const QString frueher = QString::fromStdString(Q().string());
    EXPECT_TRUE(fenster->Ordnerzeile->text().startsWith(QStringLiteral("C:\\Daten (früher %1) – Stand ").arg(frueher)))
        << fenster->Ordnerzeile->text().toStdString();
    fenster->OeffneOrdner("sub");
    EXPECT_TRUE(
        fenster->Ordnerzeile->text().startsWith(QStringLiteral("C:\\Daten\\sub (früher %1/sub) – Stand ").arg(frueher)))
        << fenster->Ordnerzeile->text().toStdString();
    fenster->OeffneOrdner(".");
    // The window's question offers no original place.
    bool ursprungWaehlbar = true;
    EXPECT_EQ(fenster->FrageWohinSelbst([&](QMessageBox& box) {
        for (QAbstractButton* knopf : box.buttons())
            if (knopf->text() == QStringLiteral("An den &ursprünglichen Ort"))
                ursprungWaehlbar = knopf->isEnabled();
        box.reject();
    }),
              Testuebersicht::Wohin::Nirgends);
    EXPECT_FALSE(ursprungWaehlbar);
    struct Fall {
        const char* was;
        std::function<void()> tue;
        QString gesagt;
    };
    const std::vector<Fall> faelle = {
        {"restore the whole point into a folder",
         [&] {
             fenster->wohin = Testuebersicht::Wohin::Ordner;
             fenster->ordner = "C:\\zurueck";
             QTest::mouseClick(fenster->StandZurueck, Qt::LeftButton);
         },
         QStringLiteral("")},
        {"check", [&] { QTest::mouseClick(fenster->Pruefen, Qt::LeftButton); },
         QStringLiteral("Stand %1 ist vollständig wiederherstellbar").arg(QString::fromStdString(staende[2]))},
        {"check with the source",
         [&] {
             fenster->MitQuelle->setChecked(true);
             QTest::mouseClick(fenster->Pruefen, Qt::LeftButton);
         },
         QStringLiteral("Die Quelle C:\\Daten ist nicht da.")},
        {"restore to the original place",
         [&] {
             fenster->wohin = Testuebersicht::Wohin::Ursprung;
             fenster->antworten = {{Konfliktwahl::Ersetzen, true}};
             QTest::mouseClick(fenster->StandZurueck, Qt::LeftButton);
         },
         QStringLiteral("ist nicht da; ihre Sicherungen werden nur in einen neuen oder leeren Ordner")},
        {"thin",
         [&] {
             fenster->regel = Behalteregel{1};
             fenster->ausduennen = true;
             QTest::mouseClick(fenster->AusduennenKnopf, Qt::LeftButton);
         },
         QStringLiteral("liegt auf keinem Laufwerk; ihre Sicherungen werden nicht ausgedünnt.")},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.was);
        f.tue();
        ASSERT_TRUE(Ruhig());
        EXPECT_TRUE(Ergebnis().contains(f.gesagt)) << Ergebnis().toStdString();
        EXPECT_EQ(Unterschiede(heute, Schnappe(temp / "X" / "Daten")), "");
    }
    Schnappschuss soll = schnappschuesse[2], ist = Schnappe(temp / "X" / "zurueck");
    soll.erase(".");
    ist.erase(".");
    EXPECT_EQ(Unterschiede(soll, ist), "");
    EXPECT_FALSE(fenster->geplant.has_value());
    EXPECT_EQ(std::distance(fs::directory_iterator(temp / "D" / "Backup"), fs::directory_iterator()), 4);
}

TEST(Zielmenue, OffersTheBackupsOfTheFolderShownAndOfABackupFolderUnderThePointer) {
    Fensterumgebung umgebung;
    fs::create_directories(umgebung.Wurzel('C') / "Backup" / "Sicherung-2026-03-14--09-00-01");
    fs::create_directories(umgebung.Wurzel('C') / "Backup" / "Anderes");
    auto fenster = umgebung.NeuesFenster();
    fenster->Laden();
    fenster->show();
    std::vector<std::pair<Pfad, std::string>> gezeigt;
    fenster->SicherungenZeigen = [&](const Pfad& ziel, const std::string& ordner) {
        gezeigt.emplace_back(ziel, ordner);
    };
    fenster->ZielPfad->SetPath("C:\\Backup");
    struct Fall {
        QString eintrag; // current entry of the list
        std::function<void()> oeffnen;
        QStringList aktionen;
    };
    auto zeile = [&](const QString& text) {
        for (QTreeWidgetItemIterator it(fenster->ZielPfad); *it != nullptr; ++it)
            if ((*it)->text(0) == text)
                return *it;
        return static_cast<QTreeWidgetItem*>(nullptr);
    };
    const QString sicherung = QStringLiteral("Sicherung-2026-03-14--09-00-01");
    const std::vector<Fall> faelle = {
        {QStringLiteral("Anderes"),
         [&] { QTest::keyClick(fenster->ZielPfad, Qt::Key_F10, Qt::ShiftModifier); },
         {QStringLiteral("Sicherungen &anzeigen …")}},
        {sicherung,
         [&] { QTest::keyClick(fenster->ZielPfad, Qt::Key_Menu); },
         {QStringLiteral("Sicherungen &anzeigen …"), sicherung + QStringLiteral(" &zeigen …")}},
        {QStringLiteral("Anderes"),
         [&] {
             QTest::mouseClick(fenster->ZielPfad->viewport(), Qt::RightButton, {},
                               fenster->ZielPfad->visualItemRect(zeile(sicherung)).center());
         },
         {QStringLiteral("Sicherungen &anzeigen …"), sicherung + QStringLiteral(" &zeigen …")}},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.eintrag.toStdString());
        fenster->ZielPfad->setCurrentItem(zeile(f.eintrag));
        f.oeffnen();
        QMenu* menue = nullptr;
        ASSERT_TRUE(WarteBis([&] { return (menue = qobject_cast<QMenu*>(QApplication::activePopupWidget())); }));
        QStringList texte;
        for (QAction* a : menue->actions())
            texte.append(a->text());
        EXPECT_EQ(texte, f.aktionen);
        menue->actions().back()->trigger();
        menue->close();
    }
    EXPECT_EQ(gezeigt, (std::vector<std::pair<Pfad, std::string>>{{"C:\\Backup", ""},
                                                                  {"C:\\Backup", "Sicherung-2026-03-14--09-00-01"},
                                                                  {"C:\\Backup", "Sicherung-2026-03-14--09-00-01"}}));
    // The list itself is unchanged: the open folder is still the one shown.
    EXPECT_EQ(fenster->ZielPfad->Path(), "C:\\Backup");
}

TEST(Dateiliste, ShowsRegularFilesOnlyNoLinks) {
    Fensterumgebung umgebung;
    const fs::path c = umgebung.Wurzel('C');
    SchreibeDatei(c / "Daten" / "brief.txt", "b");
    fs::create_directories(c / "Daten" / "Ordner");
    fs::create_symlink("brief.txt", c / "Daten" / "auf-datei");
    fs::create_symlink("Ordner", c / "Daten" / "auf-ordner");
    fs::create_symlink("/", c / "Daten" / "bin");
    fs::create_symlink("nirgends", c / "Daten" / "kaputt");
    auto fenster = umgebung.NeuesFenster();
    fenster->Laden();
    fenster->QuellPfad->SetPath("C:\\Daten");
    EXPECT_EQ(Zeilen(*fenster->QuellFile), QStringList{QStringLiteral("brief.txt")});
}

} // namespace
} // namespace tresor::test
