// Takes the pictures of the window Sicherungen for docs/ (run by tools/screenshot.sh on a virtual X display
// with a window manager): a point open, a restore running, the conflict question. It makes a source with
// three backups in a temporary folder and drives the window as a person would; each picture is of the
// window with its frame as the screen shows it. Not a test: it checks nothing.
#include "app/Befehlszeile.h"
#include "fs/posix/PosixDateisystem.h"
#include "tests/Dateisystemhuelle.h"
#include "tests/Testhilfen.h"
#include "ui/Sicherungsuebersicht.h"

#include <QApplication>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <atomic>
#include <filesystem>
#include <iostream>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using namespace tresor;

class Schrittuhr : public Uhr {
public:
    Datum Date() override { return {2026, 12, tag}; }
    Zeit Time() override { return {18, 30 + tag % 7, 12}; }
    int tag = 1;
};

// The window with the folder picked for a restore and the place asked for set by this program.
class Fotouebersicht : public ui::Sicherungsuebersicht {
public:
    using ui::Sicherungsuebersicht::Sicherungsuebersicht;
    Wohin wohin = Wohin::Ordner;
    Pfad nach;

protected:
    Wohin FrageWohin(bool) override { return wohin; }
    std::optional<Pfad> WaehleOrdner() override { return nach; }
};

void Foto(const QWidget& fenster, const QWidget* dazu, const fs::path& datei) {
    QRect bereich = fenster.frameGeometry();
    if (dazu != nullptr)
        bereich = bereich.united(dazu->frameGeometry());
    const QPixmap bild =
        QGuiApplication::primaryScreen()->grabWindow(0, bereich.x(), bereich.y(), bereich.width(), bereich.height());
    bild.save(QString::fromStdString(datei.string()));
    std::cout << "written: " << datei.string() << " (" << bild.width() << "x" << bild.height() << ")\n";
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::cerr << "Aufruf: bildschirmfotos DOCS-ORDNER\n";
        return 2;
    }
    const fs::path docs = fs::absolute(argv[1]);
    test::TempOrdner temp;
    const Laufwerkstabelle laufwerke = test::TestLaufwerke(temp);
    const fs::path q = temp / "C" / "Daten";
    Schrittuhr uhr;
    std::ostringstream aus, fehler;
    auto sichere = [&] {
        Befehlszeilenumgebung u{aus,
                                fehler,
                                laufwerke,
                                uhr,
                                [&] { return ErzeugePosixDateisystem(laufwerke); },
                                false,
                                (temp / "C").string()};
        (void)Befehlszeile({"--quelle", "C:\\Daten", "--ziel", "D:\\Sicherungen"}, u);
        ++uhr.tag;
    };
    fs::create_directories(temp / "D" / "Sicherungen");
    test::SchreibeDatei(q / "Briefe" / "An die Stadtwerke.txt", "Sehr geehrte Damen und Herren,\n");
    test::SchreibeDatei(q / "Briefe" / "Kündigung Zeitung.txt", "Hiermit kündige ich\n");
    test::SchreibeDatei(q / "Rechnungen" / "2026-11 Strom.pdf", std::string(48000, 'r'));
    test::SchreibeDatei(q / "Fotos" / "Urlaub" / "Strand.jpg", std::string(2400000, 'j'));
    test::SchreibeDatei(q / "Notizen.txt", "Einkaufen\n");
    sichere();
    test::SchreibeDatei(q / "Briefe" / "An die Stadtwerke.txt", "Sehr geehrte Damen und Herren, anbei\n");
    test::SchreibeDatei(q / "Briefe" / "Bewerbung.odt", std::string(23000, 'b'));
    test::SchreibeDatei(q / "Fotos" / "Urlaub" / "Berge.jpg", std::string(3100000, 'j'));
    sichere();
    test::SchreibeDatei(q / "Fotos" / "Film.mp4", std::string(96u << 20, 'f'));
    test::SchreibeDatei(q / "Notizen.txt", "Einkaufen, Post\n");
    fs::remove(q / "Briefe" / "Kündigung Zeitung.txt");
    sichere();

    // A restore waits amid the large file until its picture is taken.
    std::atomic<bool> wartet = false, weiter = false;
    Fotouebersicht fenster(laufwerke, [&]() -> std::unique_ptr<Dateisystem> {
        auto h = std::make_unique<test::Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke), nullptr);
        h->waehrendKopie = [&](const Datei& d, std::uint64_t kopiert, std::uint64_t groesse) {
            if (d.Name == "Film.mp4" && kopiert * 5 >= groesse * 2 && !weiter) {
                wartet = true;
                while (!weiter)
                    std::this_thread::yield();
            }
        };
        return h;
    });
    if (qEnvironmentVariableIsEmpty("TRESOR_EIGENE_GROESSE"))
        fenster.resize(900, 620);
    fenster.show();
    fenster.ZeigeZiel("D:\\Sicherungen");

    int schritt = 0;
    QElapsedTimer seit;
    seit.start();
    QTimer takt;
    QObject::connect(&takt, &QTimer::timeout, [&] {
        const bool frei = !fenster.Arbeit().Laeuft();
        switch (schritt) {
        case 0: // the newest point open, in its folder Briefe, a file chosen
            if (!frei || !fenster.Baum() || seit.elapsed() < 1500)
                return;
            fenster.OeffneOrdner("Briefe");
            fenster.Inhalt->topLevelItem(0)->setSelected(true);
            fenster.Inhalt->setFocus();
            seit.restart();
            schritt = 1;
            return;
        case 1:
            if (seit.elapsed() < 500)
                return;
            Foto(fenster, nullptr, docs / "sicherungen-stand.png");
            fenster.OeffneOrdner(".");
            fenster.nach = "C:\\Wiederhergestellt";
            fenster.StandZurueck->click();
            seit.restart();
            schritt = 2;
            return;
        case 2: // the restore, held amid the large file
            if (!wartet || seit.elapsed() < 2500)
                return;
            Foto(fenster, nullptr, docs / "sicherungen-wiederherstellung.png");
            weiter = true;
            schritt = 3;
            return;
        case 3: // back to the original place: Notizen.txt was changed since
            if (!frei)
                return;
            test::SchreibeDatei(q / "Notizen.txt", "Einkaufen, Post, Arzt anrufen\n");
            fenster.wohin = Fotouebersicht::Wohin::Ursprung;
            fenster.Inhalt->clearSelection();
            for (int i = 0; i < fenster.Inhalt->topLevelItemCount(); ++i)
                if (fenster.Inhalt->topLevelItem(i)->text(0) == QStringLiteral("Notizen.txt"))
                    fenster.Inhalt->topLevelItem(i)->setSelected(true);
            fenster.AuswahlZurueck->click();
            seit.restart();
            schritt = 4;
            return;
        case 4: {
            QWidget* frage = QApplication::activeModalWidget();
            if (frage == nullptr || seit.elapsed() < 1000)
                return;
            Foto(fenster, frage, docs / "sicherungen-konflikt.png");
            for (QPushButton* knopf : frage->findChildren<QPushButton*>())
                if (knopf->text().contains(QStringLiteral("berspringen")))
                    knopf->click();
            schritt = 5;
            return;
        }
        default:
            if (frei)
                QApplication::quit();
        }
    });
    takt.start(100);
    return QApplication::exec();
}
