// A long backup run keeps the window alive: it repaints, takes no input, and a close request waits.

#include "tests/ui/Fensterhilfen.h"

#include "fs/FsFehler.h"

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <thread>

namespace tresor::test {
namespace {

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

    // A run that copies for about `dauer` milliseconds, reporting progress as the engine does.
    void Kopiere(int dauer, const std::function<void(int)>& jeSchritt = {}) {
        QElapsedTimer uhr;
        uhr.start();
        int schritt = 0;
        while (uhr.elapsed() < dauer) {
            ++schritt;
            fenster->Fortschritt({static_cast<std::uint64_t>(schritt), 1500000ULL * schritt, "C:\\Daten\\Briefe"});
            if (jeSchritt)
                jeSchritt(schritt);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

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

TEST_F(Lauf, TakesNoInputWhileRunning) {
    int laeufe = 0;
    fenster->Lauf = [&] {
        ++laeufe;
        Kopiere(200, [&](int schritt) {
            if (schritt == 2) {
                // Clicks, access keys and typing given to the busy window do nothing, now or later.
                QTest::mouseClick(fenster->Abbrechen, Qt::LeftButton);
                QTest::mouseClick(fenster->Sichern, Qt::LeftButton);
                QTest::keyClick(fenster.get(), Qt::Key_A, Qt::AltModifier);
                QTest::keyClick(fenster->QuellLaufwerk, Qt::Key_Down);
            }
        });
        fenster->MsgBox("fertig", vbInformation, std::nullopt);
    };
    QTest::mouseClick(fenster->Sichern, Qt::LeftButton);
    QTest::qWait(100);
    EXPECT_EQ(laeufe, 1);
    EXPECT_TRUE(fenster->Enden.empty());
    EXPECT_EQ(fenster->QuellLaufwerk->currentIndex(), 0);

    // After the run the window answers again.
    QTest::mouseClick(fenster->Abbrechen, Qt::LeftButton);
    EXPECT_EQ(fenster->Enden, std::vector<int>{0});
}

TEST_F(Lauf, ACloseRequestWaitsUntilTheRunAndItsMessageAreOver) {
    std::vector<std::string> ablauf;
    fenster->Lauf = [&] {
        Kopiere(200, [&](int schritt) {
            if (schritt == 2)
                QCoreApplication::postEvent(fenster.get(), new QCloseEvent);
        });
        ablauf.push_back(fenster->Enden.empty() ? "lauf zu Ende" : "vorzeitig beendet");
        fenster->MsgBox("fertig", vbInformation, std::nullopt);
        ablauf.push_back(fenster->Enden.empty() ? "meldung geschlossen" : "vorzeitig beendet");
    };
    QTest::mouseClick(fenster->Sichern, Qt::LeftButton);
    EXPECT_EQ(ablauf, (std::vector<std::string>{"lauf zu Ende", "meldung geschlossen"}));
    EXPECT_EQ(fenster->Enden, std::vector<int>{0});
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

TEST(Fortschrittstext, CountsFilesAndBytesInGermanAndShortensTheFolder) {
    const QFontMetrics metrik(QApplication::font());
    const QString kurz = ui::Fortschrittstext({1234, 5678901, "C:\\Daten"}, metrik, 2000);
    EXPECT_EQ(kurz, QStringLiteral("Gesichert: 1.234 Dateien, 5,7 MB – C:\\Daten"));
    EXPECT_EQ(ui::Fortschrittstext({1, 999, "C:\\"}, metrik, 2000),
              QStringLiteral("Gesichert: 1 Datei, 999 Byte – C:\\"));
    const Pfad lang = "C:\\" + std::string(300, 'x') + "\\Ende";
    const QString gekuerzt = ui::Fortschrittstext({2, 10, lang}, metrik, 400);
    EXPECT_LE(metrik.horizontalAdvance(gekuerzt), 400);
    EXPECT_TRUE(gekuerzt.endsWith(QStringLiteral("Ende")));
}

} // namespace
} // namespace tresor::test
