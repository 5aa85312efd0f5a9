// A copy whose content changed on the target since its backup (a block gone bad, a write to the stick) while it
// kept its size and time: the check and the restore tell it by the content's checksum in the record, the restore
// brings it back all the same and names it, and it never replaces a file that is there.
#include "engine/wiederherstellung/Rueckholauftrag.h"
#include "engine/wiederherstellung/Wiederherstellung.h"
#include "tests/cli/Wiederherstellungstest.h"

namespace tresor::test {
namespace {

struct Kopienfall {
    const char* name;
    const char* datei;     // in the folder "ordner"
    std::streamoff stelle; // of the byte changed in its copy; -1: none
    bool form3;            // the record has no checksums
};

class VeraenderteKopie : public Wiederherstellungstest, public ::testing::WithParamInterface<Kopienfall> {};

TEST_P(VeraenderteKopie, WirdGeprueftUndWiederhergestelltUndGenannt) {
    const Kopienfall& f = GetParam();
    Schreibe(Q() / "a.txt", "bleibt wie es ist");
    Schreibe(Q() / "ordner" / "b.txt", "ein Foto mit einem Block");
    // Sparse: a hole, five bytes, a hole.
    Schreibe(Q() / "ordner" / "l.bin", "");
    fs::resize_file(Q() / "ordner" / "l.bin", 300000);
    Ueberschreibe(Q() / "ordner" / "l.bin", 200000, "mitte");
    const std::string stand = Sichere();
    MitSummen(Sicherungsordner(stand), f.form3);
    const fs::path kopie = Sicherungsordner(stand) / "Daten" / "ordner" / f.datei;
    const auto zeit = fs::last_write_time(kopie);
    if (f.stelle >= 0) {
        Ueberschreibe(kopie, f.stelle, "#");
        fs::last_write_time(kopie, zeit);
    }
    const bool genannt = f.stelle >= 0 && !f.form3;
    const std::string grund = std::string(f.datei) + ": der Inhalt der Kopie in Sicherung-" + stand + " weicht";

    EXPECT_EQ(Pruefen(stand), genannt ? 1 : 0) << fehler.str();
    EXPECT_EQ(fehler.str().find("Beschädigt: ordner/" + grund) != std::string::npos, genannt) << fehler.str();
    EXPECT_EQ(aus.str().find("ist vollständig wiederherstellbar") != std::string::npos, !genannt) << aus.str();
    // The closing line counts it as damaged, not as missing.
    EXPECT_EQ(fehler.str().find("ist nicht vollständig wiederherstellbar: 1 Datei ist beschädigt.\n") !=
                  std::string::npos,
              genannt)
        << fehler.str();
    fehler.str("");
    const fs::path nach = temp / "C" / "wieder";
    EXPECT_EQ(Wiederherstellen(stand, nach), genannt ? 1 : 0) << fehler.str();
    EXPECT_EQ(fehler.str().find("Wiederhergestellt, aber beschädigt: ordner/" + std::string(f.datei) +
                                " (der Inhalt der Kopie in Sicherung-" + stand) != std::string::npos,
              genannt)
        << fehler.str();
    // Everything comes back, the changed content too; that one without the recorded time.
    EXPECT_EQ(LiesDatei(nach / "a.txt"), "bleibt wie es ist");
    EXPECT_EQ(LiesDatei(nach / "ordner" / f.datei), LiesDatei(kopie));
    EXPECT_EQ(fs::last_write_time(nach / "ordner" / f.datei) == zeit, !genannt);
}

INSTANTIATE_TEST_SUITE_P(Inhalt, VeraenderteKopie,
                         ::testing::Values(Kopienfall{"Unberuehrt", "b.txt", -1, false},
                                           Kopienfall{"EinByteAnders", "b.txt", 4, false},
                                           Kopienfall{"Form3EinByteAnders", "b.txt", 4, true},
                                           Kopienfall{"LueckenhaftUnberuehrt", "l.bin", -1, false},
                                           Kopienfall{"LueckenhaftEinByteAnders", "l.bin", 200002, false},
                                           Kopienfall{"LueckenhaftImLoch", "l.bin", 1000, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Wiederherstellungstest, ACopyGoneBadNeverReplacesTheFileAtTheOriginalPlace) {
    Schreibe(Q() / "b.txt", "gesichert");
    const std::string stand = Sichere();
    MitSummen(Sicherungsordner(stand), false);
    Ueberschreibe(Sicherungsordner(stand) / "Daten" / "b.txt", 0, "G");
    Schreibe(Q() / "b.txt", "heute");
    Wiederherstellung w(
        laufwerke, [this] { return ErzeugePosixDateisystem(laufwerke); }, aus, fehler);
    Rueckholauftrag a;
    a.Ziel = "D:\\Backup";
    a.Quelle = "C:\\Daten";
    a.Stand = stand;
    a.Frage = [](const Konflikt&) { return Konfliktantwort{Konfliktwahl::Ersetzen, true}; };
    EXPECT_EQ(w.Zurueckholen(a), Befund::Probleme) << fehler.str();
    EXPECT_EQ(LiesDatei(Q() / "b.txt"), "heute");
    EXPECT_EQ(LiesDatei(Q() / DatierterName("b.txt", stand)), "Gesichert");
    EXPECT_EQ(w.Bericht().Ersetzt, 0L);
    EXPECT_NE(fehler.str().find("Nicht ersetzt: b.txt: der Inhalt der Kopie in"), std::string::npos) << fehler.str();
}

TEST_F(Wiederherstellungstest, ANameOfAHardLinkGroupNeverSharesACopyGoneBadUnnamed) {
    Schreibe(Q() / "a.txt", "ein Inhalt");
    fs::create_hard_link(Q() / "a.txt", Q() / "b.txt");
    const std::string stand = Sichere();
    MitSummen(Sicherungsordner(stand), false);
    Ueberschreibe(Sicherungsordner(stand) / "Daten" / "a.txt", 0, "E");
    const fs::path nach = temp / "C" / "wieder";
    EXPECT_EQ(Wiederherstellen(stand, nach), 1) << fehler.str();
    EXPECT_NE(fehler.str().find("Wiederhergestellt, aber beschädigt: a.txt ("), std::string::npos) << fehler.str();
    // b.txt holds the content backed up, or is named as well.
    EXPECT_TRUE(LiesDatei(nach / "b.txt") == "ein Inhalt" ||
                fehler.str().find("Wiederhergestellt, aber beschädigt: b.txt (") != std::string::npos)
        << fehler.str();
}

} // namespace
} // namespace tresor::test
