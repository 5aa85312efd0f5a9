// A long backup run keeps the window alive: it repaints and shows its progress, also inside a large file,
// takes no input but Abbrechen, and Abbrechen or a close request stop it cleanly and end the program.

#include "tests/ui/Fensterhilfen.h"

#include "fs/Attribute.h"
#include "fs/FsFehler.h"
#include "fs/posix/PosixDateisystem.h"

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <thread>

namespace tresor::test {
namespace {

// A click as the window system delivers it: to the window, which hands it to the widget under the mouse.
void Klick(QWidget* fenster, QWidget* w) {
    QTest::mouseClick(fenster->windowHandle(), Qt::LeftButton, {}, w->mapTo(fenster, w->rect().center()));
}

class Lauf : public ::testing::Test {
protected:
    void SetUp() override {
        fenster = umgebung.NeuesFenster();
        fenster->Laden();
        fenster->show();
        fenster->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(fenster.get()));
        for (QWidget* w : fenster->findChildren<QWidget*>())
            rechtecke[w] = w->geometry();
    }

    // A run that copies for about `dauer` milliseconds, reporting progress and asking for a stop as the
    // engine does. Returns false when it was asked to stop.
    bool Kopiere(int dauer, const std::function<void(int)>& jeSchritt = {}) {
        QElapsedTimer uhr;
        uhr.start();
        int schritt = 0;
        while (uhr.elapsed() < dauer) {
            ++schritt;
            tresor::Fortschritt stand;
            stand.Dateien = static_cast<std::uint64_t>(schritt);
            stand.Bytes = 1500000ULL * static_cast<std::uint64_t>(schritt);
            stand.Ordner = "C:\\Daten\\Briefe";
            fenster->Fortschritt(stand);
            if (jeSchritt)
                jeSchritt(schritt);
            if (fenster->AbbruchVerlangt())
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    void Klick(QWidget* w) { test::Klick(fenster.get(), w); }

    Fensterumgebung umgebung;
    std::unique_ptr<Testfenster> fenster;
    std::map<QWidget*, QRect> rechtecke;
};

TEST_F(Lauf, RepaintsAndShowsTheProgressWithoutMovingAControl) {
    int zeitgeber = 0;
    QString waehrend;
    fenster->Lauf = [&] {
        fenster->SetMousePointer(vbHourglass);
        QTimer::singleShot(0, [&] { ++zeitgeber; });
        Kopiere(300);
        waehrend = fenster->copyversion->text();
        fenster->SetMousePointer(vbDefault);
        fenster->MsgBox("Alle Dateien sind in den Ordner: D:\\X gesichert. ", vbInformation, std::nullopt);
    };
    QTest::mouseClick(fenster->Sichern, Qt::LeftButton);

    EXPECT_EQ(zeitgeber, 1) << "events were processed during the run";
    EXPECT_TRUE(waehrend.startsWith(QStringLiteral("Gesichert: "))) << waehrend.toStdString();
    EXPECT_TRUE(waehrend.contains(QStringLiteral("Dateien"))) << waehrend.toStdString();
    ASSERT_EQ(fenster->Meldungen.size(), 1U);
    // Before the box opened, the notice line was back and the pointer was the default one.
    EXPECT_EQ(fenster->Meldungen[0].copyversion, QStringLiteral("© 2002–2026 tresor-ix, Version 1.0.25"));
    EXPECT_FALSE(fenster->Meldungen[0].Wartezeiger);
    EXPECT_EQ(fenster->copyversion->text(), QStringLiteral("© 2002–2026 tresor-ix, Version 1.0.25"));
    for (const auto& [w, rechteck] : rechtecke)
        EXPECT_EQ(w->geometry(), rechteck) << w->objectName().toStdString();
    EXPECT_FALSE(fenster->Laeuft());
    EXPECT_TRUE(fenster->Enden.empty());
}

TEST_F(Lauf, TakesNoInputButAbbrechenWhileRunning) {
    int laeufe = 0;
    bool bisZumEnde = false;
    fenster->Lauf = [&] {
        ++laeufe;
        bisZumEnde = Kopiere(200, [&](int schritt) {
            if (schritt == 2) {
                // Clicks, access keys and typing given to the busy window do nothing, now or later, whether
                // they come through the window system or straight to a control.
                QTest::mouseClick(fenster->Sichern, Qt::LeftButton);
                Klick(fenster->Sichern);
                Klick(fenster->QuellFile);
                QTest::keyClick(fenster.get(), Qt::Key_S, Qt::AltModifier);
                QTest::keyClick(fenster->windowHandle(), Qt::Key_S, Qt::AltModifier);
                QTest::keyClick(fenster->QuellLaufwerk, Qt::Key_Down);
                QTest::keyClick(fenster->windowHandle(), Qt::Key_Tab);
            }
        });
        fenster->MsgBox("fertig", vbInformation, std::nullopt);
    };
    QTest::mouseClick(fenster->Sichern, Qt::LeftButton);
    QTest::qWait(100);
    EXPECT_EQ(laeufe, 1);
    EXPECT_TRUE(bisZumEnde);
    EXPECT_TRUE(fenster->Enden.empty());
    EXPECT_EQ(fenster->Meldungen.size(), 1U);
    EXPECT_EQ(fenster->QuellLaufwerk->currentIndex(), 0);

    // After the run the window answers again.
    QTest::mouseClick(fenster->Abbrechen, Qt::LeftButton);
    EXPECT_EQ(fenster->Enden, std::vector<int>{0});
}

// Abbrechen and closing the window ask the run to stop; it stops at its next check point, and the program ends
// after it. A run that stopped, or went to its end and failed, says so in a message and the program ends with
// status 1; one that went through or found nothing ends with status 0 and shows no message.
TEST_F(Lauf, AbbrechenOrClosingStopsTheRunSaysHowItEndedAndEndsTheProgram) {
    const std::map<std::string, std::function<void()>> wege = {
        {"Klick auf Abbrechen", [&] { Klick(fenster->Abbrechen); }},
        {"Klick direkt auf Abbrechen", [&] { QTest::mouseClick(fenster->Abbrechen, Qt::LeftButton); }},
        {"Alt+A", [&] { QTest::keyClick(fenster->windowHandle(), Qt::Key_A, Qt::AltModifier); }},
        {"Schliessen", [&] { QCoreApplication::postEvent(fenster.get(), new QCloseEvent); }},
    };
    const QString gestoppt = QStringLiteral("Die Sicherung wurde abgebrochen ! \nNur ein Teil der Dateien ist in den "
                                            "Ordner: D:\\Sicherung-2002-02-07--13-42-27 gesichert. ");
    struct Fall {
        std::string weg;
        Ausgang ausgang;
        Pfad angelegt;
        QString meldung; // empty: none
        QMessageBox::Icon symbol;
        int status;
    };
    const std::vector<Fall> faelle = {
        {"Klick auf Abbrechen", Ausgang::Abgebrochen, "D:\\Sicherung-2002-02-07--13-42-27", gestoppt,
         QMessageBox::Warning, 1},
        {"Klick direkt auf Abbrechen", Ausgang::Abgebrochen, "D:\\Sicherung-2002-02-07--13-42-27", gestoppt,
         QMessageBox::Warning, 1},
        {"Alt+A", Ausgang::Abgebrochen, "D:\\Sicherung-2002-02-07--13-42-27", gestoppt, QMessageBox::Warning, 1},
        {"Schliessen", Ausgang::Abgebrochen, "D:\\Sicherung-2002-02-07--13-42-27", gestoppt, QMessageBox::Warning, 1},
        {"Klick auf Abbrechen", Ausgang::Abgebrochen, "",
         QStringLiteral("Die Sicherung wurde abgebrochen ! \nEs wurde nichts gesichert. "), QMessageBox::Warning, 1},
        {"Schliessen", Ausgang::Fehlschlag, "D:\\Sicherung-2002-02-07--13-42-27",
         QStringLiteral("Die Sicherung wurde nicht korrekt durchgeführt ! "), QMessageBox::Critical, 1},
        {"Klick auf Abbrechen", Ausgang::Erfolg, "D:\\Sicherung-2002-02-07--13-42-27", QString(), QMessageBox::NoIcon,
         0},
        {"Klick auf Abbrechen", Ausgang::NichtsGefunden, "", QString(), QMessageBox::NoIcon, 0},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.weg + " " + std::to_string(static_cast<int>(f.ausgang)));
        fenster = umgebung.NeuesFenster();
        fenster->Laden();
        fenster->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(fenster.get()));
        std::vector<std::string> ablauf;
        fenster->Lauf = [&] {
            const bool bisZumEnde = Kopiere(3000, [&](int schritt) {
                if (schritt == 2) {
                    ablauf.push_back("verlangt");
                    wege.at(f.weg)();
                }
            });
            ablauf.push_back(bisZumEnde ? "lauf zu Ende" : "angehalten");
            ablauf.push_back(fenster->Enden.empty() ? "noch offen" : "vorzeitig beendet");
            fenster->SetMousePointer(vbDefault);
            fenster->Engine().ausgang = f.ausgang;
            fenster->Engine().angelegt = f.angelegt;
            // A message the run asks for after the request is not shown.
            fenster->MsgBox("fertig", vbInformation, std::nullopt);
        };
        QTest::mouseClick(fenster->Sichern, Qt::LeftButton);
        EXPECT_EQ(ablauf, (std::vector<std::string>{"verlangt", "angehalten", "noch offen"}));
        if (f.meldung.isEmpty()) {
            EXPECT_TRUE(fenster->Meldungen.empty());
        } else {
            ASSERT_EQ(fenster->Meldungen.size(), 1U);
            EXPECT_EQ(fenster->Meldungen[0].Text, f.meldung);
            EXPECT_EQ(fenster->Meldungen[0].Symbol, f.symbol);
            EXPECT_EQ(fenster->Meldungen[0].Titel, QStringLiteral("Sicherung"));
        }
        EXPECT_EQ(fenster->Enden, std::vector<int>{f.status});
        EXPECT_FALSE(fenster->Laeuft());
    }
}

TEST_F(Lauf, AFailureDuringTheRunShowsTheReportAndEndsWithStatusOne) {
    fenster->Lauf = [&] {
        fenster->SetMousePointer(vbHourglass);
        Kopiere(100);
        throw FsFehler("Kopieren", "C:\\Daten\\brief.txt", std::make_error_code(std::errc::io_error));
    };
    QTest::mouseClick(fenster->Sichern, Qt::LeftButton);
    ASSERT_EQ(fenster->Meldungen.size(), 1U);
    EXPECT_EQ(fenster->Meldungen[0].Symbol, QMessageBox::Critical);
    EXPECT_EQ(fenster->Meldungen[0].Titel, QStringLiteral("Sicherung"));
    EXPECT_TRUE(fenster->Meldungen[0].Text.contains(QStringLiteral("C:\\Daten\\brief.txt")));
    EXPECT_EQ(fenster->Meldungen[0].copyversion, QStringLiteral("© 2002–2026 tresor-ix, Version 1.0.25"));
    EXPECT_EQ(fenster->Enden, std::vector<int>{1});
    EXPECT_FALSE(fenster->Laeuft());
    fenster->SetMousePointer(vbDefault);
}

// Counts the paint events of the widgets it watches.
class Malzaehler : public QObject {
public:
    int Anzahl = 0;

protected:
    bool eventFilter(QObject* ziel, QEvent* ereignis) override {
        if (ereignis->type() == QEvent::Paint)
            ++Anzahl;
        return QObject::eventFilter(ziel, ereignis);
    }
};

// The real run over a large file whose every piece is slowed down: the notice line moves and is repainted
// while that one file is copied, input stays blocked, and Abbrechen in the middle of the file stops the run
// cleanly: the copies before it are durable and marked, the copy under way leaves nothing behind, and the
// files not reached keep their archive bits. A message says the run was stopped; the program ends with status 1.
TEST(LaufMitGrosserDatei, ProgressMovesInsideTheFileAndAbbrechenStopsTheRunCleanly) {
    namespace fs = std::filesystem;
    Fensterumgebung umgebung;
    const fs::path q = umgebung.Wurzel('C') / "Q";
    std::string gross(24U << 20, '\0');
    for (std::size_t i = 0; i < gross.size(); ++i)
        gross[i] = static_cast<char>((i * 2654435761U) >> 13);
    SchreibeDatei(q / "a.txt", "erste");
    SchreibeDatei(q / "b.txt", "zweite");
    SchreibeDatei(q / "c.bin", gross);
    SchreibeDatei(q / "d.txt", "vierte");
    SchreibeDatei(q / "U" / "e.txt", "fuenfte");

    std::unique_ptr<Testfenster> fenster;
    Malzaehler maler;
    std::vector<std::uint64_t> stuecke;
    std::set<QString> texte;
    int laeufe = 0;
    int malereienImLauf = -1;
    umgebung.WaehrendKopie = [&](const Datei& datei, std::uint64_t kopiert, std::uint64_t groesse) {
        if (datei.Name != "c.bin")
            return;
        EXPECT_EQ(groesse, gross.size());
        stuecke.push_back(kopiert);
        // Longer than the window's 50 ms between two passes: every piece's report reaches the line.
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        texte.insert(fenster->copyversion->text());
        if (stuecke.size() == 3) {
            Klick(fenster.get(), fenster->Sichern);
            Klick(fenster.get(), fenster->QuellPfad);
            QTest::keyClick(fenster->windowHandle(), Qt::Key_Down);
            QTest::keyClick(fenster->windowHandle(), Qt::Key_S, Qt::AltModifier);
        }
        if (stuecke.size() == 6) {
            malereienImLauf = maler.Anzahl;
            Klick(fenster.get(), fenster->Abbrechen);
        }
    };
    fenster = umgebung.NeuesFenster();
    fenster->Laden();
    fenster->QuellPfad->SetPath("C:\\Q");
    fenster->ZielLaufwerk->SetDrive(QStringLiteral("D:"));
    fenster->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(fenster.get()));
    fenster->copyversion->installEventFilter(&maler);
    fenster->Lauf = [&] {
        ++laeufe;
        fenster->Engine().Sichern_Click();
    };
    QTest::mouseClick(fenster->Sichern, Qt::LeftButton);

    // Progress inside the file: pieces of it reported as they were copied, the line rewritten and repainted.
    ASSERT_EQ(stuecke.size(), 6U);
    EXPECT_LT(stuecke.back(), gross.size());
    EXPECT_TRUE(std::is_sorted(stuecke.begin(), stuecke.end()));
    // Before the first report reached the line it may still show the notice.
    texte.erase(QStringLiteral("© 2002–2026 tresor-ix, Version 1.0.25"));
    EXPECT_GE(texte.size(), 4U) << "the notice line did not move";
    for (const QString& t : texte)
        EXPECT_TRUE(t.startsWith(QStringLiteral("Gesichert: 2 Dateien, "))) << t.toStdString();
    EXPECT_GE(malereienImLauf, 4);

    // Nothing else was taken: no second run, the source folder unchanged.
    EXPECT_EQ(laeufe, 1);
    EXPECT_EQ(fenster->QuellPfad->Path(), "C:\\Q");
    EXPECT_EQ(fenster->Engine().ausgang, Ausgang::Abgebrochen);
    // The window says that the run was stopped, and the program ends with status 1.
    ASSERT_EQ(fenster->Meldungen.size(), 1U);
    EXPECT_EQ(fenster->Meldungen[0].Text,
              QStringLiteral("Die Sicherung wurde abgebrochen ! \nNur ein Teil der Dateien "
                             "ist in den Ordner: D:\\Sicherung-2002-02-07--13-42-27 gesichert. "));
    EXPECT_EQ(fenster->Enden, std::vector<int>{1});
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    const fs::path spiegel = umgebung.Wurzel('D') / "Sicherung-2002-02-07--13-42-27" / "Q";
    std::vector<std::string> dort;
    for (const auto& e : fs::recursive_directory_iterator(umgebung.Wurzel('D')))
        dort.push_back(fs::relative(e.path(), spiegel).string());
    std::sort(dort.begin(), dort.end());
    EXPECT_EQ(dort, (std::vector<std::string>{".", "..", "a.txt", "b.txt"})) << "no partial copy, nothing beyond";
    EXPECT_EQ(LiesDatei(spiegel / "a.txt"), "erste");
    EXPECT_EQ(LiesDatei(spiegel / "b.txt"), "zweite");
    auto fso = ErzeugePosixDateisystem(Laufwerkstabelle(umgebung.Laufwerke));
    const auto archiv = [&](const char* name) { return (fso->Attributes(fso->GetFile(name)) & attr::Archiv) != 0; };
    EXPECT_FALSE(archiv("C:\\Q\\a.txt"));
    EXPECT_FALSE(archiv("C:\\Q\\b.txt"));
    EXPECT_TRUE(archiv("C:\\Q\\c.bin"));
    EXPECT_TRUE(archiv("C:\\Q\\d.txt"));
    EXPECT_TRUE(archiv("C:\\Q\\U\\e.txt"));
}

tresor::Fortschritt Stand(std::uint64_t dateien, std::uint64_t bytes, const Pfad& ordner) {
    tresor::Fortschritt stand;
    stand.Dateien = dateien;
    stand.Bytes = bytes;
    stand.Ordner = ordner;
    return stand;
}

TEST(Fortschrittstext, CountsFilesAndBytesInGermanAndShortensTheFolder) {
    const QFontMetrics metrik(QApplication::font());
    const QString kurz = ui::Fortschrittstext(Stand(1234, 5678901, "C:\\Daten"), metrik, 2000);
    EXPECT_EQ(kurz, QStringLiteral("Gesichert: 1.234 Dateien, 5,7 MB – C:\\Daten"));
    EXPECT_EQ(ui::Fortschrittstext(Stand(1, 999, "C:\\"), metrik, 2000),
              QStringLiteral("Gesichert: 1 Datei, 999 Byte – C:\\"));
    const Pfad lang = "C:\\" + std::string(300, 'x') + "\\Ende";
    const QString gekuerzt = ui::Fortschrittstext(Stand(2, 10, lang), metrik, 400);
    EXPECT_LE(metrik.horizontalAdvance(gekuerzt), 400);
    EXPECT_TRUE(gekuerzt.endsWith(QStringLiteral("Ende")));
}

} // namespace
} // namespace tresor::test
