// The window's handlers: start-up, drives and folders kept in step, refresh, centring, the end of the program.

#include "tests/ui/Fensterhilfen.h"

#include <QApplication>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;

class Verhalten : public ::testing::Test {
protected:
    void SetUp() override {
        // C:\ holds two folders, a hidden folder, two files and a hidden file; D:\ one folder and one file.
        SchreibeDatei(umgebung.Wurzel('C') / "a.txt", "a");
        SchreibeDatei(umgebung.Wurzel('C') / "b.txt", "b");
        SchreibeDatei(umgebung.Wurzel('C') / ".versteckt", "v");
        SchreibeDatei(umgebung.Wurzel('C') / "Daten" / "brief.txt", "brief");
        SchreibeDatei(umgebung.Wurzel('C') / "Daten" / "Briefe" / "alt.txt", "alt");
        fs::create_directories(umgebung.Wurzel('C') / "Musik");
        fs::create_directories(umgebung.Wurzel('C') / ".cache");
        SchreibeDatei(umgebung.Wurzel('D') / "d.txt", "d");
        fs::create_directories(umgebung.Wurzel('D') / "Archiv" / "2001");
        fenster = umgebung.NeuesFenster();
        fenster->Laden();
    }

    // Picks a drive in a drive list the way the user does (the selection changes, then Change runs).
    static void Waehle(ui::Laufwerksliste* liste, char buchstabe) {
        for (int i = 0; i < liste->count(); ++i)
            if (liste->itemText(i).startsWith(QChar::fromLatin1(buchstabe)))
                liste->setCurrentIndex(i);
    }
    // Opens a folder of a directory list the way the user does: a double click on its entry.
    static void OeffneMitDoppelklick(ui::Verzeichnisliste* liste, const Pfad& pfad) {
        QTreeWidgetItem* eintrag = Finde(liste, pfad);
        ASSERT_NE(eintrag, nullptr) << pfad;
        emit liste->itemDoubleClicked(eintrag, 0);
    }
    static QTreeWidgetItem* Finde(ui::Verzeichnisliste* liste, const Pfad& pfad) {
        for (QTreeWidgetItemIterator it(liste); *it != nullptr; ++it)
            if (ui::Verzeichnisliste::PfadVon(*it) == pfad)
                return *it;
        return nullptr;
    }

    Fensterumgebung umgebung;
    std::unique_ptr<Testfenster> fenster;
};

TEST_F(Verhalten, StartsAtTheRootOfDriveCOnBothSidesWithTheBackupFolderNameOfTheStart) {
    EXPECT_TRUE(fenster->QuellLaufwerk->Drive().startsWith(QStringLiteral("C:")));
    EXPECT_TRUE(fenster->ZielLaufwerk->Drive().startsWith(QStringLiteral("C:")));
    EXPECT_EQ(fenster->QuellPfad->Path(), "C:\\");
    EXPECT_EQ(fenster->ZielPfad->Path(), "C:\\");
    EXPECT_EQ(fenster->QuellFile->Path(), "C:\\");
    EXPECT_EQ(Zeilen(*fenster->QuellFile), (QStringList{QStringLiteral("a.txt"), QStringLiteral("b.txt")}));
    EXPECT_EQ(fenster->ZielOrdner->text(), QStringLiteral("Sicherung-2002-02-07--13-42-27"));
    EXPECT_EQ(umgebung.Uhr.Lesungen, "DT");
    EXPECT_TRUE(fenster->ZielOrdner->isHidden());
    EXPECT_FALSE(fenster->copyversion->isHidden());
    EXPECT_EQ(fenster->copyversion->text(), QStringLiteral("© 2002–2026 tresor-ix, Version 1.0.25"));
    EXPECT_TRUE(fenster->Enden.empty());
    EXPECT_TRUE(fenster->Meldungen.empty());
}

TEST_F(Verhalten, DirectoryListShowsTheChainToTheOpenFolderThenItsVisibleSubfolders) {
    EXPECT_EQ(Eintraege(*fenster->QuellPfad),
              (QStringList{QStringLiteral("0:C:\\"), QStringLiteral("1:Daten"), QStringLiteral("1:Musik")}));
    fenster->QuellPfad->SetPath("C:\\Daten\\Briefe");
    EXPECT_EQ(Eintraege(*fenster->QuellPfad),
              (QStringList{QStringLiteral("0:C:\\"), QStringLiteral("1:Daten"), QStringLiteral("2:Briefe")}));
    EXPECT_EQ(ui::Verzeichnisliste::PfadVon(fenster->QuellPfad->currentItem()), "C:\\Daten\\Briefe");
}

TEST_F(Verhalten, NamesThatAreNotUtf8AreShownWithAReplacementAndKeptAsBytes) {
    const std::string name = "Gr\xFC\xDF"
                             "e"; // Latin-1, not UTF-8
    fs::create_directories(umgebung.Wurzel('D') / name);
    SchreibeDatei(umgebung.Wurzel('D') / name / ("Notiz-" + name), "n");
    Waehle(fenster->QuellLaufwerk, 'D');
    QTreeWidgetItem* eintrag = Finde(fenster->QuellPfad, "D:\\" + name);
    ASSERT_NE(eintrag, nullptr);
    EXPECT_TRUE(eintrag->text(0).contains(QChar::ReplacementCharacter));
    OeffneMitDoppelklick(fenster->QuellPfad, "D:\\" + name);
    EXPECT_EQ(fenster->QuellFile->Path(), "D:\\" + name);
    ASSERT_EQ(fenster->QuellFile->count(), 1);
    EXPECT_TRUE(fenster->QuellFile->item(0)->text().startsWith(QStringLiteral("Notiz-Gr")));
    EXPECT_TRUE(fenster->QuellFile->item(0)->text().contains(QChar::ReplacementCharacter));
}

TEST_F(Verhalten, ANewSourceDriveOpensAtItsRootAndChangesTheSourceSideOnly) {
    fenster->ZielPfad->SetPath("C:\\Daten");
    Waehle(fenster->QuellLaufwerk, 'D');
    EXPECT_EQ(fenster->QuellPfad->Path(), "D:\\");
    EXPECT_EQ(fenster->QuellFile->Path(), "D:\\");
    EXPECT_EQ(Zeilen(*fenster->QuellFile), QStringList{QStringLiteral("d.txt")});

    // Another folder of D: was open: choosing D: again still opens its root.
    OeffneMitDoppelklick(fenster->QuellPfad, "D:\\Archiv");
    ASSERT_EQ(fenster->QuellPfad->Path(), "D:\\Archiv");
    Waehle(fenster->QuellLaufwerk, 'C');
    Waehle(fenster->QuellLaufwerk, 'D');
    EXPECT_EQ(fenster->QuellPfad->Path(), "D:\\");
    EXPECT_EQ(fenster->QuellFile->Path(), "D:\\");

    EXPECT_EQ(fenster->ZielPfad->Path(), "C:\\Daten");
    EXPECT_TRUE(fenster->ZielLaufwerk->Drive().startsWith(QStringLiteral("C:")));
    EXPECT_EQ(fenster->ZielOrdner->text(), QStringLiteral("Sicherung-2002-02-07--13-42-27"));
}

TEST_F(Verhalten, ANewTargetDriveChangesTheTargetListOnly) {
    fenster->QuellPfad->SetPath("C:\\Daten");
    ASSERT_EQ(fenster->QuellFile->Path(), "C:\\Daten");
    Waehle(fenster->ZielLaufwerk, 'D');
    EXPECT_EQ(fenster->ZielPfad->Path(), "D:\\");
    EXPECT_EQ(Eintraege(*fenster->ZielPfad), (QStringList{QStringLiteral("0:D:\\"), QStringLiteral("1:Archiv")}));
    EXPECT_TRUE(fenster->QuellLaufwerk->Drive().startsWith(QStringLiteral("C:")));
    EXPECT_EQ(fenster->QuellPfad->Path(), "C:\\Daten");
    EXPECT_EQ(fenster->QuellFile->Path(), "C:\\Daten");
    EXPECT_EQ(fenster->ZielOrdner->text(), QStringLiteral("Sicherung-2002-02-07--13-42-27"));
}

TEST_F(Verhalten, OpeningASourceFolderChangesTheFileListOnly) {
    OeffneMitDoppelklick(fenster->QuellPfad, "C:\\Daten");
    EXPECT_EQ(fenster->QuellPfad->Path(), "C:\\Daten");
    EXPECT_EQ(fenster->QuellFile->Path(), "C:\\Daten");
    EXPECT_EQ(Zeilen(*fenster->QuellFile), QStringList{QStringLiteral("brief.txt")});
    EXPECT_EQ(fenster->ZielPfad->Path(), "C:\\");

    // With the keyboard: the entry C:\ chosen and Enter pressed goes back up.
    fenster->QuellPfad->setCurrentItem(Finde(fenster->QuellPfad, "C:\\"));
    QTest::keyClick(fenster->QuellPfad, Qt::Key_Return);
    EXPECT_EQ(fenster->QuellPfad->Path(), "C:\\");
    EXPECT_EQ(fenster->QuellFile->Path(), "C:\\");

    // Opening a target folder changes nothing else.
    OeffneMitDoppelklick(fenster->ZielPfad, "C:\\Musik");
    EXPECT_EQ(fenster->ZielPfad->Path(), "C:\\Musik");
    EXPECT_EQ(fenster->QuellPfad->Path(), "C:\\");
    EXPECT_EQ(fenster->QuellFile->Path(), "C:\\");
    EXPECT_EQ(fenster->ZielOrdner->text(), QStringLiteral("Sicherung-2002-02-07--13-42-27"));
}

TEST_F(Verhalten, ActivationRefreshesTheListsAndEmptiesTmp) {
    fenster->Engine().tmp = 5;
    fs::create_directories(umgebung.Wurzel('C') / "Neu");
    SchreibeDatei(umgebung.Wurzel('C') / "neu.txt", "n");
    fenster->show();
    fenster->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(fenster.get()));
    EXPECT_TRUE(WarteBis([&] { return std::holds_alternative<std::monostate>(fenster->Engine().tmp); }));
    EXPECT_TRUE(Eintraege(*fenster->ZielPfad).contains(QStringLiteral("1:Neu")));
    EXPECT_TRUE(Eintraege(*fenster->QuellPfad).contains(QStringLiteral("1:Neu")));
    EXPECT_TRUE(Zeilen(*fenster->QuellFile).contains(QStringLiteral("neu.txt")));
}

TEST_F(Verhalten, OpeningADriveListReReadsTheDriveTableAndKeepsTheCurrentDrive) {
    Waehle(fenster->ZielLaufwerk, 'D');
    const int vorher = umgebung.TabellenLesungen;
    fs::create_directories(umgebung.Ordner / "E");
    umgebung.Laufwerke.push_back(Laufwerk{'E', (umgebung.Ordner / "E").string(), "STICK"});
    fenster->ZielLaufwerk->showPopup();
    fenster->ZielLaufwerk->hidePopup();
    EXPECT_EQ(umgebung.TabellenLesungen, vorher + 1);
    EXPECT_EQ(fenster->ZielLaufwerk->count(), 3);
    EXPECT_EQ(fenster->QuellLaufwerk->count(), 3);
    EXPECT_EQ(fenster->ZielLaufwerk->itemText(2), QStringLiteral("E: [STICK]"));
    EXPECT_TRUE(fenster->ZielLaufwerk->Drive().startsWith(QStringLiteral("D:")));
    EXPECT_EQ(fenster->ZielPfad->Path(), "D:\\");
}

TEST_F(Verhalten, ADriveThatIsNotReadyEndsTheProgramAfterTheErrorReport) {
    umgebung.Laufwerke.push_back(Laufwerk{'E', (umgebung.Ordner / "nicht-eingehaengt").string(), {}});
    fenster->QuellLaufwerk->showPopup();
    fenster->QuellLaufwerk->hidePopup();
    Waehle(fenster->QuellLaufwerk, 'E');
    ASSERT_EQ(fenster->Meldungen.size(), 1U);
    EXPECT_EQ(fenster->Meldungen[0].Symbol, QMessageBox::Critical);
    EXPECT_EQ(fenster->Meldungen[0].Titel, QStringLiteral("Sicherung"));
    EXPECT_TRUE(fenster->Meldungen[0].Text.contains(QStringLiteral("E:")));
    EXPECT_EQ(fenster->Enden, std::vector<int>{1});
    EXPECT_TRUE(fenster->Beendet());
    EXPECT_EQ(fenster->Exitstatus(), 1);
    EXPECT_EQ(fenster->QuellFile->Path(), "C:\\");
    // Nothing runs after the end.
    Waehle(fenster->ZielLaufwerk, 'D');
    EXPECT_EQ(fenster->ZielPfad->Path(), "C:\\");
}

TEST_F(Verhalten, ATargetDriveThatIsNotReadyEndsTheProgramToo) {
    // A new mount takes the first free letter, E:, whatever letter the new mount table gives it.
    umgebung.Laufwerke.push_back(Laufwerk{'F', (umgebung.Ordner / "fehlt").string(), {}});
    fenster->ZielLaufwerk->showPopup();
    fenster->ZielLaufwerk->hidePopup();
    Waehle(fenster->ZielLaufwerk, 'E');
    ASSERT_EQ(fenster->Meldungen.size(), 1U);
    EXPECT_EQ(fenster->Meldungen[0].Symbol, QMessageBox::Critical);
    EXPECT_EQ(fenster->Enden, std::vector<int>{1});
}

TEST_F(Verhalten, AbbrechenEndsAtOnceWithoutAQuestion) {
    int laeufe = 0;
    fenster->Lauf = [&] { ++laeufe; };
    QTest::mouseClick(fenster->Abbrechen, Qt::LeftButton);
    EXPECT_EQ(fenster->Enden, std::vector<int>{0});
    EXPECT_TRUE(fenster->Meldungen.empty());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    QTest::mouseClick(fenster->Sichern, Qt::LeftButton);
    EXPECT_EQ(laeufe, 0);
    EXPECT_EQ(fenster->Enden, std::vector<int>{0});
}

TEST_F(Verhalten, ClosingTheWindowEndsTheProgram) {
    fenster->show();
    EXPECT_TRUE(fenster->close());
    EXPECT_EQ(fenster->Enden, std::vector<int>{0});
    EXPECT_TRUE(fenster->Meldungen.empty());
}

// Centring: Left = (screen width - window width) / 2 in twips, neither rounded nor clamped.
struct Zentrierfall {
    double SchirmBreite, SchirmHoehe; // twips
    float Left, Top;
    int PixelX, PixelY;
};

class Zentrieren : public ::testing::TestWithParam<Zentrierfall> {};

TEST_P(Zentrieren, CentresInTwipsWithoutRounding) {
    const Zentrierfall fall = GetParam();
    Fensterumgebung umgebung;
    auto fenster = umgebung.NeuesFenster();
    fenster->Schirm = QSizeF(fall.SchirmBreite, fall.SchirmHoehe);
    fenster->Laden();
    ASSERT_FLOAT_EQ(fenster->Width(), 9375.0F);
    ASSERT_FLOAT_EQ(fenster->Height(), 6000.0F);
    EXPECT_EQ(fenster->Left(), fall.Left);
    EXPECT_EQ(fenster->Top(), fall.Top);
    EXPECT_EQ(fenster->pos() - fenster->screen()->geometry().topLeft(), QPoint(fall.PixelX, fall.PixelY));
}

INSTANTIATE_TEST_SUITE_P(Bildschirme, Zentrieren,
                         ::testing::Values(Zentrierfall{15360, 11520, 2992.5F, 2760.0F, 200, 184}, // 1024x768
                                           Zentrierfall{9375, 6000, 0.0F, 0.0F, 0, 0},             // just fits
                                           Zentrierfall{8000, 5001, -687.5F, -499.5F, -46, -33},   // too small
                                           Zentrierfall{9376, 6001, 0.5F, 0.5F, 0, 0}),
                         [](const ::testing::TestParamInfo<Zentrierfall>& info) {
                             return "Bildschirm" + std::to_string(static_cast<int>(info.param.SchirmBreite)) + "x" +
                                    std::to_string(static_cast<int>(info.param.SchirmHoehe));
                         });

TEST(Meldung, ShowsAModalBoxWithOneOkButtonIconTitleAndLineBreaks) {
    Fensterumgebung umgebung;
    auto fenster = umgebung.NeuesFenster();
    fenster->EchteMeldungen = true;
    struct Fall {
        int Stil;
        std::optional<std::string> Titel;
        QMessageBox::Icon Symbol;
        QString Fenstertitel;
    };
    const Fall faelle[] = {
        {16, std::nullopt, QMessageBox::Critical, QStringLiteral("Sicherung")},
        {48, std::string("Ordner gefunden"), QMessageBox::Warning, QStringLiteral("Ordner gefunden")},
        {64, std::nullopt, QMessageBox::Information, QStringLiteral("Sicherung")}};
    for (const Fall& fall : faelle) {
        QString text, titel;
        QMessageBox::Icon symbol = QMessageBox::NoIcon;
        int knoepfe = -1;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr)
                return;
            text = box->text();
            titel = box->windowTitle();
            symbol = box->icon();
            knoepfe = static_cast<int>(box->buttons().size());
            box->button(QMessageBox::Ok)->click();
        });
        const int antwort = fenster->MsgBox("Erste Zeile ! \rZweite Zeile, muß", fall.Stil, fall.Titel);
        EXPECT_EQ(antwort, vbOK);
        EXPECT_EQ(text, QStringLiteral("Erste Zeile ! \nZweite Zeile, muß"));
        EXPECT_EQ(titel, fall.Fenstertitel);
        EXPECT_EQ(symbol, fall.Symbol);
        EXPECT_EQ(knoepfe, 1);
    }
}

} // namespace
} // namespace tresor::test
