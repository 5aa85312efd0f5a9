// The listing of the backups in a target as data: each backup's state as the listing names it, the source
// filter, both orders, and the printed listing made of exactly these rows.
#include "engine/bestand/Bestandsformat.h"
#include "engine/wiederherstellung/Wiederherstellung.h"
#include "fs/posix/PosixDateisystem.h"
#include "tests/Testhilfen.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;

class Punktliste : public ::testing::Test {
protected:
    Punktliste() : laufwerke(TestLaufwerke(temp)) { fs::create_directories(Ziel()); }

    fs::path Ziel() const { return temp / "D" / "Backup"; }
    // A backup folder of `quelle` ("Daten" or another folder of C:) with a record holding `a.txt` (in this
    // folder, 3 bytes, its copy there unless `ohneKopie`); `anpassen` changes the record before it is written.
    void Lege(const std::string& zeit, const std::string& quelle, const std::function<void(Bestand&)>& anpassen,
              bool ohneKopie = false) {
        Bestand b;
        b.Ordner = "Sicherung-" + zeit;
        b.Quelle = "C:\\" + quelle;
        b.QuellePosix = (temp / "C" / quelle).string();
        b.Zeit = zeit;
        b.KopierteDateien = 1;
        b.KopierteBytes = 3;
        b.Eintraege = {{Eintragsart::Ordner, "-", 0, 1, 0755, 0, 0, ".", ""},
                       {Eintragsart::Datei, b.Ordner, 3, 1, 0644, 0, 0, "a.txt", ""}};
        anpassen(b);
        const fs::path ordner = Ziel() / b.Ordner;
        fs::create_directories(ordner / quelle);
        if (!ohneKopie)
            SchreibeDatei(ordner / quelle / "a.txt", "abc");
        SchreibeDatei(ordner / Bestandsdateiname(0), SchreibeBestand(b));
    }

    TempOrdner temp;
    Laufwerkstabelle laufwerke;
};

TEST_F(Punktliste, EachBackupIsListedWithItsStateAndTheListingPrintsTheseRows) {
    Lege("2026-03-14--09-00-01", "Daten", [](Bestand&) {});
    Lege("2026-03-14--09-00-02", "Daten", [](Bestand& b) { b.Abgebrochen = true; });
    Lege(
        "2026-03-14--09-00-03", "Daten",
        [](Bestand& b) {
            b.KopierteDateien = 7;
            b.KopierteBytes = 1234;
            b.Eintraege.push_back({Eintragsart::Datei, OrtFehlt, 5, 1, 0644, 0, 0, "b.txt", ""});
            b.Eintraege.push_back(
                {Eintragsart::Datei, "Sicherung-2026-03-14--08-00-00", 5, 1, 0644, 0, 0, "d.txt", ""});
            b.Ausgelassen.push_back({"c.txt", "Zugriff verweigert"});
        },
        true);
    fs::create_directories(Ziel() / "Sicherung-2026-03-14--09-00-04" / "Daten");
    fs::create_directories(Ziel() / "Sicherung-2026-03-14--09-00-05" / "Daten");
    SchreibeDatei(Ziel() / "Sicherung-2026-03-14--09-00-05" / Bestandsdateiname(0), "tresor-ix-bestand 2\nabgerissen");
    Lege("2026-03-14--09-00-06", "Andere", [](Bestand&) {});
    // Not backups: a file with a backup's name and a folder of another name.
    SchreibeDatei(Ziel() / "Sicherung-2026-03-14--09-00-07", "");
    fs::create_directories(Ziel() / "Sicherung-kaputt");

    struct Fall {
        std::optional<Pfad> quelle;
        Reihenfolge reihenfolge;
        std::vector<std::string> zeilen;
    };
    const std::string eins = "2026-03-14--09-00-01  C:\\Daten  1 Dateien, 3 Bytes kopiert  vollständig";
    const std::string zwei = "2026-03-14--09-00-02  C:\\Daten  1 Dateien, 3 Bytes kopiert  unvollständig (abgebrochen)";
    // b.txt without a version, d.txt with its version in a backup folder that is gone, and c.txt not backed
    // up. The copy of a.txt missing from its backup folder is not looked for: the listing reads the record's
    // head and counts alone, the check finds it.
    const std::string drei = "2026-03-14--09-00-03  C:\\Daten  7 Dateien, 1234 Bytes kopiert  unvollständig (3 fehlen)";
    const std::string sechs = "2026-03-14--09-00-06  C:\\Andere  1 Dateien, 3 Bytes kopiert  vollständig";
    const std::vector<Fall> faelle = {
        {"C:\\Daten",
         Reihenfolge::AeltesteZuerst,
         {eins, zwei, drei, "2026-03-14--09-00-04  C:\\Daten  ohne Bestandsliste",
          "2026-03-14--09-00-05  C:\\Daten  Bestandsliste beschädigt"}},
        {"C:\\Daten",
         Reihenfolge::NeuesteZuerst,
         {"2026-03-14--09-00-05  C:\\Daten  Bestandsliste beschädigt",
          "2026-03-14--09-00-04  C:\\Daten  ohne Bestandsliste", drei, zwei, eins}},
        {std::nullopt,
         Reihenfolge::AeltesteZuerst,
         {eins, zwei, drei, "2026-03-14--09-00-04  ?  ohne Bestandsliste",
          "2026-03-14--09-00-05  ?  Bestandsliste beschädigt", sechs}},
        {"C:\\Andere", Reihenfolge::NeuesteZuerst, {sechs}},
        {"C:\\Keine", Reihenfolge::AeltesteZuerst, {}},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.quelle.value_or("(alle)") + (f.reihenfolge == Reihenfolge::NeuesteZuerst ? " neueste" : ""));
        std::ostringstream aus, fehler;
        Wiederherstellung w(
            laufwerke, [this] { return ErzeugePosixDateisystem(laufwerke); }, aus, fehler);
        const std::vector<Listenpunkt> punkte = w.Punkte("D:\\Backup", f.quelle, f.reihenfolge);
        std::vector<std::string> zeilen;
        for (const Listenpunkt& p : punkte)
            zeilen.push_back(p.Zeile());
        EXPECT_EQ(zeilen, f.zeilen);
        // The printed listing is the oldest-first rows, or says that there are none; the listing of one source
        // adds below each row the bytes only that point holds where they are known (here only for the newest:
        // the older ones come before a point whose record is torn, which may need their copies).
        EXPECT_EQ(w.Liste("D:\\Backup", f.quelle), Befund::Vollstaendig);
        std::string soll;
        for (const Listenpunkt& p : w.Punkte("D:\\Backup", f.quelle)) {
            soll += p.Zeile() + "\n";
            if (f.quelle == Pfad("C:\\Daten") && p.Zeit() == "2026-03-14--09-00-05")
                soll += "  nur in diesem Stand: 30 Bytes\n"; // the torn record
            else if (f.quelle == Pfad("C:\\Andere"))
                soll += "  nur in diesem Stand: " +
                        std::to_string(fs::file_size(Ziel() / ("Sicherung-" + p.Zeit()) / Bestandsdateiname(0)) + 3) +
                        " Bytes\n";
        }
        if (soll.empty())
            soll = "Keine Sicherungen dieser Quelle im Ziel D:\\Backup.\n";
        EXPECT_EQ(aus.str(), soll);
        EXPECT_EQ(fehler.str(), "");
    }
    std::ostringstream aus, fehler;
    Wiederherstellung w(
        laufwerke, [this] { return ErzeugePosixDateisystem(laufwerke); }, aus, fehler);
    const auto punkte = w.Punkte("D:\\Backup", "C:\\Daten");
    ASSERT_EQ(punkte.size(), 5u);
    EXPECT_EQ(punkte[2].Art, Listenpunkt::Zustand::Unvollstaendig);
    EXPECT_EQ(punkte[2].Fehlen, 3);
    EXPECT_EQ(punkte[4].Art, Listenpunkt::Zustand::Kaputt);
    EXPECT_FALSE(punkte[4].Grund.empty());
}

} // namespace
} // namespace tresor::test
