// A click on Sichern runs the real backup run on the real file system of the test drives.

#include "tests/ui/Fensterhilfen.h"

#include "fs/FsFehler.h"
#include "fs/posix/PosixDateisystem.h"

#include <QApplication>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;

// The real message box that a click on `knopf` leads to, as it was shown; closed with OK.
struct Gezeigt {
    QString Text, Titel, Hinweis, Einzelheiten;
    QMessageBox::Icon Symbol = QMessageBox::NoIcon;
};

Gezeigt KlickeUndLies(QWidget* knopf) {
    Gezeigt g;
    QTimer suche;
    suche.setInterval(20);
    QObject::connect(&suche, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            g = {box->text(), box->windowTitle(), box->informativeText(), box->detailedText(), box->icon()};
            box->button(QMessageBox::Ok)->click();
        }
    });
    suche.start();
    QTest::mouseClick(knopf, Qt::LeftButton);
    suche.stop();
    return g;
}

// Records the mouse pointer as the engine sets it, with the cursor that the application shows after it.
class Zeigerfenster : public Testfenster {
public:
    using Testfenster::Testfenster;
    void SetMousePointer(int zeiger) override {
        Testfenster::SetMousePointer(zeiger);
        const QCursor* cursor = QApplication::overrideCursor();
        Zeiger.emplace_back(zeiger, cursor != nullptr && cursor->shape() == Qt::WaitCursor);
    }
    std::vector<std::pair<int, bool>> Zeiger;
};

class Sichern : public ::testing::Test {
protected:
    void SetUp() override {
        SchreibeDatei(umgebung.Wurzel('C') / "Daten" / "brief.txt", "Lieber Hans");
        SchreibeDatei(umgebung.Wurzel('C') / "Daten" / "Fotos" / "bild.jpg", std::string(100000, 'x'));
        fenster = std::make_unique<Zeigerfenster>(
            [this] { return Laufwerkstabelle(umgebung.Laufwerke); }, umgebung.Uhr,
            [](const Laufwerkstabelle& tabelle) { return ErzeugePosixDateisystem(tabelle); });
        fenster->Laden();
        fenster->QuellPfad->SetPath("C:\\Daten");
        fenster->ZielLaufwerk->SetDrive(QStringLiteral("D:"));
        ASSERT_EQ(fenster->ZielPfad->Path(), "D:\\");
        fenster->show();
    }

    Fensterumgebung umgebung;
    std::unique_ptr<Zeigerfenster> fenster;
};

TEST_F(Sichern, AClickMakesARealBackupAndShowsTheSuccessMessage) {
    fenster->EchteMeldungen = true;
    const Gezeigt box = KlickeUndLies(fenster->Sichern);

    EXPECT_EQ(box.Text,
              QStringLiteral("Alle Dateien sind in den Ordner: D:\\Sicherung-2002-02-07--13-42-27 gesichert. "));
    EXPECT_EQ(box.Titel, QStringLiteral("Sicherung"));
    EXPECT_EQ(box.Symbol, QMessageBox::Information);
    const fs::path sicherung = umgebung.Wurzel('D') / "Sicherung-2002-02-07--13-42-27" / "Daten";
    EXPECT_EQ(LiesDatei(sicherung / "brief.txt"), "Lieber Hans");
    EXPECT_TRUE(LiesDatei(sicherung / "Fotos" / "bild.jpg") == std::string(100000, 'x'));
    // ZielPfad shows the new backup folder; the program goes on.
    EXPECT_TRUE(Eintraege(*fenster->ZielPfad).contains(QStringLiteral("1:Sicherung-2002-02-07--13-42-27")));
    EXPECT_EQ(fenster->ZielOrdner->text(), QStringLiteral("Sicherung-2002-02-07--13-42-27"));
    EXPECT_TRUE(fenster->Enden.empty());
    EXPECT_EQ(fenster->Engine().tmp_fehler, "nein");
}

TEST_F(Sichern, TheBusyPointerShowsDuringTheRunAndIsGoneBeforeTheBoxOpens) {
    QTest::mouseClick(fenster->Sichern, Qt::LeftButton);
    ASSERT_FALSE(fenster->Zeiger.empty());
    EXPECT_EQ(fenster->Zeiger.front(), std::make_pair(vbHourglass, true));
    EXPECT_EQ(fenster->Zeiger.back(), std::make_pair(vbDefault, false));
    ASSERT_EQ(fenster->Meldungen.size(), 1U);
    EXPECT_EQ(fenster->Meldungen[0].Symbol, QMessageBox::Information);
    EXPECT_EQ(fenster->Meldungen[0].MousePointer, vbDefault);
    EXPECT_FALSE(fenster->Meldungen[0].Wartezeiger);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(Sichern, ATargetInsideTheSourceIsRefusedWithTheOverlapMessage) {
    fenster->ZielLaufwerk->SetDrive(QStringLiteral("C:"));
    fenster->ZielPfad->SetPath("C:\\Daten\\Fotos");
    QTest::mouseClick(fenster->Sichern, Qt::LeftButton);
    ASSERT_EQ(fenster->Meldungen.size(), 1U);
    EXPECT_EQ(fenster->Meldungen[0].Symbol, QMessageBox::Critical);
    EXPECT_EQ(fenster->Meldungen[0].Text,
              QStringLiteral("Sicherungsquelle und Sicherungsziel überschneiden sich ! \nWählen Sie ein anderes "
                             "Sicherungsziel.\nDie Funktion wird abgebrochen."));
    EXPECT_FALSE(fs::exists(umgebung.Wurzel('C') / "Daten" / "Fotos" / "Sicherung-2002-02-07--13-42-27"));
    EXPECT_TRUE(fenster->Enden.empty());
}

// The mount table read again while the window is open: a new mount whose mount point sorts before that of
// D: (the table now gives it D: and the old D: the next letter) and a mount that went away. The lists keep
// every letter on the file system they showed, and the run writes to the one shown.
TEST_F(Sichern, DriveLettersStayWithTheirFileSystemsWhenTheMountTableChanges) {
    fenster->EchteMeldungen = false;
    const fs::path neu = umgebung.Ordner / "0-neu";
    fs::create_directories(neu);
    const Laufwerk altesD = umgebung.Laufwerke[1];
    ASSERT_EQ(altesD.Buchstabe, 'D');
    umgebung.Laufwerke = {umgebung.Laufwerke[0], Laufwerk{'D', neu.string(), {}},
                          Laufwerk{'E', altesD.Einhaengepunkt, {}}};
    fenster->ZielLaufwerk->showPopup();
    fenster->ZielLaufwerk->hidePopup();
    EXPECT_TRUE(fenster->ZielLaufwerk->Drive().startsWith(QStringLiteral("D: [") +
                                                          QString::fromStdString(altesD.Einhaengepunkt)));
    QStringList texte;
    for (int i = 0; i < fenster->ZielLaufwerk->count(); ++i)
        texte << fenster->ZielLaufwerk->itemText(i);
    EXPECT_TRUE(texte.contains(QStringLiteral("E: [") + QString::fromStdString(neu.string()) + QStringLiteral("]")))
        << texte.join(QStringLiteral(", ")).toStdString();

    QTest::mouseClick(fenster->Sichern, Qt::LeftButton);
    EXPECT_EQ(LiesDatei(fs::path(altesD.Einhaengepunkt) / "Sicherung-2002-02-07--13-42-27" / "Daten" / "brief.txt"),
              "Lieber Hans");
    EXPECT_TRUE(fs::is_empty(neu)) << "nothing written to the file system that took the letter in the new table";

    // D: goes away: its letter stays taken and is no longer offered; the new drive keeps E:.
    umgebung.Laufwerke = {umgebung.Laufwerke[0], Laufwerk{'D', neu.string(), {}}};
    fenster->QuellLaufwerk->showPopup();
    fenster->QuellLaufwerk->hidePopup();
    texte.clear();
    for (int i = 0; i < fenster->QuellLaufwerk->count(); ++i)
        texte << fenster->QuellLaufwerk->itemText(i);
    EXPECT_EQ(texte,
              (QStringList{QStringLiteral("C: [") + QString::fromStdString(umgebung.Laufwerke[0].Einhaengepunkt) +
                               QStringLiteral("]"),
                           QStringLiteral("E: [") + QString::fromStdString(neu.string()) + QStringLiteral("]")}));
}

} // namespace
} // namespace tresor::test

namespace tresor::test {
namespace {

// The failure box keeps its text exactly and lists in its details each entry that was not backed up and why.
TEST(Fehlerdetails, TheFailureBoxListsEachEntryNotBackedUpWithItsReason) {
    struct Fall {
        const char* name;
        std::string zeile; // the operation that fails, as the wrapper records it
        std::string eintrag;
    };
    const std::vector<Fall> faelle = {
        {"a folder that cannot be read", "SubFolders C:\\Daten\\Fotos", "C:\\Daten\\Fotos: Zugriff verweigert\n"},
        {"a file that cannot be read", "Copy C:\\Daten\\brief.txt ", "C:\\Daten\\brief.txt: Zugriff verweigert\n"},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.name);
        Fensterumgebung umgebung;
        SchreibeDatei(umgebung.Wurzel('C') / "Daten" / "brief.txt", "Lieber Hans");
        SchreibeDatei(umgebung.Wurzel('C') / "Daten" / "Fotos" / "bild.jpg", "bild");
        Testfenster fenster([&] { return Laufwerkstabelle(umgebung.Laufwerke); }, umgebung.Uhr,
                            [&](const Laufwerkstabelle& tabelle) -> std::unique_ptr<Dateisystem> {
                                auto h = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(tabelle), nullptr);
                                h->vorher = [&](const std::string& zeile) {
                                    if (zeile.starts_with(f.zeile))
                                        throw FsFehler(zeile.substr(0, zeile.find(' ')),
                                                       f.eintrag.substr(0, f.eintrag.find(": ")),
                                                       std::make_error_code(std::errc::permission_denied));
                                };
                                return h;
                            });
        fenster.Laden();
        fenster.QuellPfad->SetPath("C:\\Daten");
        fenster.ZielLaufwerk->SetDrive(QStringLiteral("D:"));
        fenster.show();
        fenster.EchteMeldungen = true;
        const Gezeigt box = KlickeUndLies(fenster.Sichern);
        EXPECT_EQ(box.Text, QStringLiteral("Die Sicherung wurde nicht korrekt durchgeführt ! "));
        EXPECT_EQ(box.Einzelheiten, QString::fromStdString(f.eintrag));
    }
}

// A run whose only gap is a file system mounted inside the source ends with the success box, its text exactly
// as ever, and the box names the folders it did not enter.
TEST(Fehlerdetails, TheSuccessBoxNamesTheMountedFoldersItDidNotEnter) {
    Fensterumgebung umgebung;
    SchreibeDatei(umgebung.Wurzel('C') / "Daten" / "brief.txt", "Lieber Hans");
    const fs::path punkt = umgebung.Wurzel('C') / "Daten" / "stick";
    fs::create_directories(punkt);
    if (std::system(("mount -t tmpfs -o size=1m tresor-test '" + punkt.string() + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "no tmpfs can be mounted here (needs root)";
    SchreibeDatei(punkt / "foto.jpg", "bild");
    auto fenster = umgebung.NeuesFenster();
    fenster->Laden();
    fenster->QuellPfad->SetPath("C:\\Daten");
    fenster->ZielLaufwerk->SetDrive(QStringLiteral("D:"));
    fenster->show();
    fenster->EchteMeldungen = true;
    const Gezeigt box = KlickeUndLies(fenster->Sichern);
    EXPECT_EQ(std::system(("umount '" + punkt.string() + "'").c_str()), 0);
    EXPECT_EQ(box.Symbol, QMessageBox::Information);
    EXPECT_EQ(box.Text,
              QStringLiteral("Alle Dateien sind in den Ordner: D:\\Sicherung-2002-02-07--13-42-27 gesichert. "));
    EXPECT_EQ(box.Hinweis,
              QStringLiteral("Nicht gesichert ist der Inhalt des eingehängten Ordners:\nC:\\Daten\\stick"));
    EXPECT_EQ(box.Einzelheiten, QStringLiteral("C:\\Daten\\stick: anderes Dateisystem eingehängt, nicht durchsucht\n"));
}

} // namespace
} // namespace tresor::test
