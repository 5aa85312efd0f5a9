// Bringing backups back through the command line: every point in time of a chain of runs restores to
// exactly the source as it was, a lost backup folder is found by the check, refusals change nothing, and a
// torn or missing record never gives a partial silent restore.
#include "app/Befehlszeile.h"
#include "engine/bestand/Anzeigetext.h"
#include "engine/bestand/Bestandsformat.h"
#include "engine/wiederherstellung/Wiederherstellung.h"
#include "fs/posix/PosixDateisystem.h"
#include "tests/Dateisystemhuelle.h"
#include "tests/Testhilfen.h"
#include "tests/cli/Schnappschuss.h"
#include "tests/cli/Wiederherstellungstest.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;

// Names that a record must carry through unchanged.
const std::vector<std::string> Seltsame = {
    std::string("neue\nZeile"), "back\\slash", "prozent%41", " vorne blank", std::string("\xff\xfe kein utf8"),
    std::string("\x1b[31mrot"), "umlaut äöü",  "tab\tname",
};

// The changes of the chain, one step per run. Each step also writes at least one file, so each run
// creates a backup folder.
void Schritt(int lauf, const fs::path& q) {
    switch (lauf) {
    case 0:
        Schreibe(q / "a.txt", "erste Fassung");
        Schreibe(q / "sub" / "b.txt", "bbb");
        Schreibe(q / "sub" / "tief" / "t.txt", "tief");
        Schreibe(q / "nur-rechte.txt", "rechte");
        Schreibe(q / ".versteckt", "punkt");
        Schreibe(q / "system.txt", "sys");
        SetzeDosattrib(q / "system.txt", 4);
        Schreibe(q / "Verborgen" / "drin.txt", "x");
        SetzeDosattrib(q / "Verborgen", 2);
        for (const std::string& n : Seltsame)
            Schreibe(q / "seltsam" / n, "name " + n);
        fs::create_symlink("a.txt", q / "zeiger");
        fs::create_symlink("nirgends", q / "haengend");
        fs::create_symlink("sub", q / "ordnerzeiger");
        fs::create_directories(q / "leer");
        fs::create_directories(q / "privat");
        Schreibe(q / "privat" / "geheim.txt", "geheim");
        fs::permissions(q / "privat", fs::perms::owner_all);
        Schreibe(q / "lesen.txt", "nur lesen");
        fs::permissions(q / "lesen.txt", fs::perms::owner_read | fs::perms::group_read);
        break;
    case 1:
        Schreibe(q / "a.txt", "zweite, längere Fassung");
        Schreibe(q / "neu" / "c.txt", "ccc");
        fs::remove(q / "sub" / "b.txt");
        fs::permissions(q / "nur-rechte.txt", fs::perms::owner_read | fs::perms::owner_write);
        fs::remove(q / "zeiger");
        fs::create_symlink("neu/c.txt", q / "zeiger");
        break;
    case 2:
        fs::remove_all(q / "neu");
        Schreibe(q / "d1" / "d2" / "d3" / "f.txt", "ganz unten");
        Schreibe(q / "seltsam" / Seltsame[0], "neu geschrieben");
        fs::permissions(q / "privat", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
        if (::geteuid() == 0) {
            // Owners come back too when root restores, taken from a copy that has them: the file is written
            // too, so that this run copies it (an owner's change alone, made within moments of the last
            // run's record, is not seen as a change, and the older copy keeps the older owner).
            Schreibe(q / "nur-rechte.txt", "rechte, neuer Besitzer");
            EXPECT_EQ(::lchown((q / "nur-rechte.txt").c_str(), 65534, 65534), 0);
            EXPECT_EQ(::lchown((q / "sub").c_str(), 65534, 65534), 0);
        }
        break;
    case 3: {
        // The same size, other bytes.
        Schreibe(q / "sub" / "tief" / "t.txt", "TIEF");
        fs::remove(q / "haengend");
        Schreibe(q / ".neu-versteckt", "n");
        fs::remove(q / "seltsam" / Seltsame[2]);
        break;
    }
    case 4:
        Schreibe(q / "sub" / "b.txt", "wieder da, anders");
        Schreibe(q / "leer" / "nicht-mehr.txt", "1");
        fs::remove(q / "d1" / "d2" / "d3" / "f.txt");
        break;
    }
}

TEST_F(Wiederherstellungstest, EveryPointOfAFiveRunChainComesBackExactly) {
    std::vector<std::string> staende;
    std::vector<Schnappschuss> schnappschuesse;
    for (int lauf = 0; lauf < 5; ++lauf) {
        Schritt(lauf, Q());
        staende.push_back(Sichere());
        schnappschuesse.push_back(Schnappe(Q()));
    }
    // The source is not touched by the restores and checks.
    const Schnappschuss quelleDanach = Schnappe(Q());
    const Schnappschuss sicherungenVorher = Schnappe(temp / "D");

    for (std::size_t i = 0; i < staende.size(); ++i) {
        SCOPED_TRACE("point " + staende[i]);
        EXPECT_EQ(Pruefen(staende[i]), 0) << aus.str() << fehler.str();
        const fs::path nach = temp / "C" / ("zurueck" + std::to_string(i));
        ASSERT_EQ(Wiederherstellen(staende[i], nach), 0) << aus.str() << fehler.str();
        EXPECT_EQ(fehler.str(), "");
        const Schnappschuss ist = Schnappe(nach);
        EXPECT_EQ(Unterschiede(schnappschuesse[i], ist), "");
        // No temporary copies are left behind.
        for (const auto& [rel, e] : ist)
            EXPECT_FALSE(rel.ends_with(".tmp")) << rel;
    }
    // Without --stand: the newest point; an empty folder that exists is taken as well.
    fs::create_directories(temp / "C" / "leer-da");
    EXPECT_EQ(Rufe({"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", (temp / "C" / "Daten").string(), "--nach",
                    "leer-da"}),
              0)
        << fehler.str();
    EXPECT_EQ(Unterschiede(schnappschuesse.back(), Schnappe(temp / "C" / "leer-da")), "");

    EXPECT_EQ(Unterschiede(quelleDanach, Schnappe(Q())), "");
    EXPECT_EQ(Unterschiede(sicherungenVorher, Schnappe(temp / "D")), "");

    EXPECT_EQ(Rufe({"--liste", "--ziel", "D:\\Backup"}), 0);
    const std::string liste = aus.str();
    std::size_t zeilen = 0;
    for (std::size_t pos = 0; (pos = liste.find('\n', pos)) != std::string::npos; ++pos)
        ++zeilen;
    EXPECT_EQ(zeilen, 5u) << liste;
    EXPECT_TRUE(liste.starts_with(staende[0] + "  C:\\Daten  ")) << liste;
    EXPECT_NE(liste.find(staende[4] + "  C:\\Daten  "), std::string::npos) << liste;
    EXPECT_EQ(liste.find("unvollständig"), std::string::npos) << liste;

    // The live source is the newest point; a change after it is named.
    EXPECT_EQ(Rufe({"--pruefen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--mit-quelle"}), 0) << fehler.str();
    Schreibe(Q() / "danach.txt", "neu");
    EXPECT_EQ(Rufe({"--pruefen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--mit-quelle"}), 1);
    EXPECT_NE(fehler.str().find("Neu in der Quelle: danach.txt\n"), std::string::npos) << fehler.str();
}

// Renames of files and folders are backed up once the archive bit reads set for a file that was only
// renamed or lies in a renamed folder. Until the backup run does that, the renamed entries' versions are
// "fehlt" in the record (honestly: no backup holds them under their new names), so the restore names them
// and ends with exit 1; this case is kept disabled until then.
TEST_F(Wiederherstellungstest, RenamedFilesAndFoldersComeBackUnderTheirNewNames) {
    std::vector<std::string> staende;
    std::vector<Schnappschuss> schnappschuesse;
    for (int lauf = 0; lauf < 3; ++lauf) {
        Schritt(lauf, Q());
        if (lauf == 1) {
            fs::rename(Q() / "lesen.txt", Q() / "umbenannt.txt");
            fs::rename(Q() / "Verborgen", Q() / "Verborgen-neu");
        }
        if (lauf == 2)
            fs::rename(Q() / "umbenannt.txt", Q() / "Verborgen-neu" / "verschoben.txt");
        staende.push_back(Sichere());
        schnappschuesse.push_back(Schnappe(Q()));
    }
    for (std::size_t i = 0; i < staende.size(); ++i) {
        SCOPED_TRACE("point " + staende[i]);
        EXPECT_EQ(Pruefen(staende[i]), 0) << fehler.str();
        const fs::path nach = temp / "C" / ("zurueck" + std::to_string(i));
        EXPECT_EQ(Wiederherstellen(staende[i], nach), 0) << fehler.str();
        EXPECT_EQ(Unterschiede(schnappschuesse[i], Schnappe(nach)), "");
    }
}

TEST_F(Wiederherstellungstest, ALostMiddleBackupIsNamedByTheCheckAndTheRestIsRestored) {
    Schreibe(Q() / "alt.txt", "nur in der ersten");
    Schreibe(Q() / "bleibt.txt", "1");
    const std::string s1 = Sichere();
    Schreibe(Q() / "mitte.txt", "nur in der zweiten");
    Schreibe(Q() / "bleibt.txt", "22");
    const std::string s2 = Sichere();
    Schreibe(Q() / "dritte.txt", "3");
    const std::string s3 = Sichere();
    const Schnappschuss soll = Schnappe(Q());

    EXPECT_EQ(Pruefen(s3), 0) << fehler.str();
    fs::remove_all(Sicherungsordner(s2));

    EXPECT_EQ(Pruefen(s3), 1);
    const std::string bericht = fehler.str();
    EXPECT_NE(bericht.find("Fehlt: mitte.txt: nicht mehr in Sicherung-" + s2 + "\n"), std::string::npos) << bericht;
    EXPECT_NE(bericht.find("Fehlt: bleibt.txt: nicht mehr in Sicherung-" + s2 + "\n"), std::string::npos) << bericht;
    EXPECT_EQ(bericht.find("alt.txt"), std::string::npos) << bericht;
    EXPECT_EQ(bericht.find("dritte.txt"), std::string::npos) << bericht;
    // The first point is whole still.
    EXPECT_EQ(Pruefen(s1), 0) << fehler.str();

    EXPECT_EQ(Rufe({"--liste", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten"}), 0);
    EXPECT_NE(aus.str().find(s1 + "  C:\\Daten  2 Dateien, 18 Bytes kopiert  vollständig\n"), std::string::npos)
        << aus.str();
    EXPECT_NE(aus.str().find(s3 + "  C:\\Daten  1 Dateien, 1 Bytes kopiert  unvollständig (2 fehlen)\n"),
              std::string::npos)
        << aus.str();

    const fs::path nach = temp / "C" / "zurueck";
    EXPECT_EQ(Wiederherstellen(s3, nach), 1);
    // The restore names each lost version with the check's own words.
    for (const std::string name : {"mitte.txt", "bleibt.txt"}) {
        const std::string grund = ": " + name + ": nicht mehr in Sicherung-" + s2 + "\n";
        EXPECT_NE(bericht.find("Fehlt" + grund), std::string::npos) << bericht;
        EXPECT_NE(fehler.str().find("Nicht wiederhergestellt" + grund), std::string::npos) << fehler.str();
    }
    Schnappschuss ohne = soll;
    ohne.erase("mitte.txt");
    ohne.erase("bleibt.txt");
    Schnappschuss ist = Schnappe(nach);
    // The restore folder's own time moves with the files that could not be made; it is not compared here.
    ist.erase(".");
    ohne.erase(".");
    EXPECT_EQ(Unterschiede(ohne, ist), "");

    // A run after the loss backs up again what the target no longer holds (the lost versions, though their
    // archive bits are clear), never claims the lost folder, and its point is whole.
    Schreibe(Q() / "vierte.txt", "4");
    const std::string s4 = Sichere();
    std::ifstream f(Sicherungsordner(s4) / "tresor-ix-bestand.txt", std::ios::binary);
    const std::string text(std::istreambuf_iterator<char>(f), {});
    EXPECT_NE(text.find("\nkopiert 3 21\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nD Sicherung-" + s4 + " 18 "), std::string::npos) << text;
    EXPECT_EQ(text.find("Sicherung-" + s2), std::string::npos) << text;
    EXPECT_EQ(text.find(" fehlt "), std::string::npos) << text;
    EXPECT_EQ(Pruefen(s4), 0) << fehler.str();
}

TEST_F(Wiederherstellungstest, ACopyThatFailedItsCheckOrWasNeverMadeIsRecordedAsMissing) {
    Schreibe(Q() / "a.txt", "a");
    Schreibe(Q() / "b.txt", "b");
    const std::string s1 = Sichere();
    Schreibe(Q() / "b.txt", "b, zweite Fassung");
    Schreibe(Q() / "c.txt", "c");
    // The copy of b.txt is gone once it was written: its check fails.
    EXPECT_EQ(SichereMit([this](Dateisystemhuelle& h) {
                  h.nachKopie = [this](const Datei& d, const Pfad& ziel) {
                      if (d.Name == "b.txt")
                          fs::remove(*laufwerke.ZuPosix(ziel));
                  };
              }),
              1);
    const std::string s2 = "2026-03-14--09-00-0" + std::to_string(uhr.sekunde);
    std::ifstream f(Sicherungsordner(s2) / "tresor-ix-bestand.txt", std::ios::binary);
    const std::string text(std::istreambuf_iterator<char>(f), {});
    EXPECT_NE(text.find("\nD fehlt 17 "), std::string::npos) << text;
    EXPECT_NE(text.find("\nD Sicherung-" + s1 + " 1 "), std::string::npos) << text;

    EXPECT_EQ(Pruefen(s2), 1);
    EXPECT_NE(fehler.str().find("Fehlt: b.txt: keine Sicherung enthält diesen Stand\n"), std::string::npos)
        << fehler.str();
    EXPECT_EQ(Wiederherstellen(s2, temp / "C" / "zurueck"), 1);
    EXPECT_EQ(LiesDatei(temp / "C" / "zurueck" / "a.txt"), "a");
    EXPECT_EQ(LiesDatei(temp / "C" / "zurueck" / "c.txt"), "c");
    EXPECT_FALSE(fs::exists(temp / "C" / "zurueck" / "b.txt"));

    // The failed copy's archive bit was cleared all the same, but the target holds no version of b.txt as it
    // is: the next run backs it up again, and its point is whole.
    Schreibe(Q() / "d.txt", "d");
    const std::string s3 = Sichere();
    EXPECT_EQ(Pruefen(s3), 0) << fehler.str();
    // Once b.txt changes, it is backed up again and the point is whole.
    Schreibe(Q() / "b.txt", "b, dritte Fassung");
    const Schnappschuss soll = Schnappe(Q());
    const std::string s4 = Sichere();
    EXPECT_EQ(Pruefen(s4), 0) << fehler.str();
    EXPECT_EQ(Wiederherstellen(s4, temp / "C" / "zurueck4"), 0) << fehler.str();
    EXPECT_EQ(Unterschiede(soll, Schnappe(temp / "C" / "zurueck4")), "");

    // A copy never made (b.txt unreadable in that run) is in the record too: the check never calls it whole.
    Schreibe(Q() / "b.txt", "b, vierte Fassung");
    EXPECT_EQ(SichereMit([](Dateisystemhuelle& h) {
                  h.vorher = [](const std::string& zeile) {
                      if (zeile.starts_with("Copy C:\\Daten\\b.txt "))
                          throw FsFehler("Copy", "C:\\Daten\\b.txt",
                                         std::make_error_code(std::errc::permission_denied));
                  };
              }),
              1);
    EXPECT_EQ(Pruefen("2026-03-14--09-00-0" + std::to_string(uhr.sekunde)), 1);
    EXPECT_NE(fehler.str().find("Fehlt: b.txt: keine Sicherung enthält"), std::string::npos) << fehler.str();
}

// The source's mirror in a backup swapped while a restore copies a file from it: renamed away, and another
// folder, or a link to a folder outside, put at its path, holding a file of that name and size with another
// content. The restore copies the version it looked at, from the folder held since it was met, never what the
// path names afterwards.
TEST_F(Wiederherstellungstest, AMirrorSwappedAmidACopyGivesTheVersionLookedAt) {
    struct Fall {
        const char* Name;
        bool AlsVerweis;
        int Status; // of the restore: a mirror that is a link gives its folder no owner, and says so
    };
    const Fall faelle[] = {{"another folder", false, 0}, {"a link to a folder outside", true, 1}};
    Schreibe(Q() / "a.txt", "echt");
    const std::string s1 = Sichere();
    const fs::path spiegel = Sicherungsordner(s1) / "Daten";
    int nummer = 0;
    for (const auto& f : faelle) {
        SCOPED_TRACE(f.Name);
        const std::string n = std::to_string(++nummer);
        const fs::path weg = Sicherungsordner(s1) / ("weg" + n);
        const fs::path fremd = temp / ("fremd" + n);
        bool getauscht = false;
        const Dateisystemfabrik fabrik = [&]() -> std::unique_ptr<Dateisystem> {
            return ErzeugePosixDateisystem(laufwerke, [&](const Pfad& p, int) {
                if (getauscht || !p.ends_with("\\a.txt"))
                    return;
                getauscht = true;
                fs::rename(spiegel, weg);
                Schreibe((f.AlsVerweis ? fremd : spiegel) / "a.txt", "FALS");
                if (f.AlsVerweis)
                    fs::create_directory_symlink(fremd, spiegel);
            });
        };
        const fs::path nach = temp / "C" / ("zurueck" + n);
        EXPECT_EQ(Rufe({"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--stand", s1, "--nach",
                        nach.string()},
                       fabrik),
                  f.Status)
            << fehler.str();
        EXPECT_TRUE(getauscht);
        EXPECT_EQ(LiesDatei(nach / "a.txt"), "echt");
        EXPECT_EQ(LiesDatei((f.AlsVerweis ? fremd : spiegel) / "a.txt"), "FALS");
        fs::remove_all(spiegel);
        fs::rename(weg, spiegel);
    }
}

// A version swapped in the backup after the restore looked at it and before it is copied: a file of another
// size, or a link. What the copy made is not that version: it goes, and the restore names it.
TEST_F(Wiederherstellungstest, AVersionSwappedBetweenLookAndCopyIsNotRestored) {
    struct Fall {
        const char* Name;
        bool AlsVerweis;
        const char* Grund;
    };
    const Fall faelle[] = {{"a longer file", false, "8 statt 4 Bytes"}, {"a link", true, "keine Datei"}};
    Schreibe(Q() / "a.txt", "echt");
    Schreibe(Q() / "b.txt", "b");
    const std::string s1 = Sichere();
    const fs::path kopie = Sicherungsordner(s1) / "Daten" / "a.txt";
    int nummer = 0;
    for (const auto& f : faelle) {
        SCOPED_TRACE(f.Name);
        const fs::path nach = temp / "C" / ("getauscht" + std::to_string(++nummer));
        const Dateisystemfabrik fabrik = [&]() -> std::unique_ptr<Dateisystem> {
            auto h = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke), nullptr);
            h->vorher = [&](const std::string& zeile) {
                if (!zeile.starts_with("Copy ") || zeile.find("\\a.txt ") == std::string::npos)
                    return;
                fs::rename(kopie, temp / "echt.txt");
                if (f.AlsVerweis)
                    fs::create_symlink("echt-weg", kopie);
                else
                    Schreibe(kopie, "FALSCHER");
            };
            return h;
        };
        EXPECT_EQ(Rufe({"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--stand", s1, "--nach",
                        nach.string()},
                       fabrik),
                  1)
            << fehler.str();
        EXPECT_FALSE(fs::exists(fs::symlink_status(nach / "a.txt")));
        EXPECT_EQ(LiesDatei(nach / "b.txt"), "b");
        EXPECT_NE(fehler.str().find(std::string("ist nicht dieser Stand (") + f.Grund + ")"), std::string::npos)
            << fehler.str();
        fs::remove(kopie);
        fs::rename(temp / "echt.txt", kopie);
    }
}

TEST_F(Wiederherstellungstest, RefusalsExitTwoAndChangeNothing) {
    Schreibe(Q() / "a.txt", "a");
    const std::string s1 = Sichere();
    Schreibe(Q() / "voll" / "x.txt", "schon da");
    fs::create_symlink(Sicherungsordner(s1), temp / "C" / "zur-sicherung");
    const Schnappschuss vorher = Schnappe(temp.Pfad());

    const std::vector<std::vector<std::string>> abgelehnt = {
        // a folder that is not empty
        {"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--nach", "C:\\Daten\\voll"},
        // into the backups: inside a backup folder, a backup folder itself, and through a link to one
        {"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--nach",
         (Sicherungsordner(s1) / "neu").string()},
        {"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--nach",
         "D:\\Backup\\Sicherung-" + s1 + "\\Daten\\tiefer"},
        {"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--nach", "zur-sicherung/neu"},
        {"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--nach", "D:\\Backup"},
        // a folder whose parent does not exist
        {"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--nach", "C:\\gibt\\es\\nicht"},
        // no such point, no backup of that source
        {"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--stand", "2001-01-01--00-00-00",
         "--nach", "C:\\neu"},
        {"--pruefen", "--ziel", "D:\\Backup", "--quelle", "C:\\Anderes"},
        // bad arguments
        {"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten"},
        {"--wiederherstellen", "--ziel", "D:\\Backup", "--nach", "C:\\neu"},
        {"--wiederherstellen", "--quelle", "C:\\Daten", "--nach", "C:\\neu"},
        {"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--nach", "C:\\neu", "--stand",
         "gestern"},
        {"--wiederherstellen", "--pruefen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--nach", "C:\\neu"},
        {"--pruefen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--nach", "C:\\neu"},
        {"--liste", "--ziel", "D:\\Backup", "--stand", s1},
        {"--liste", "--ziel", "D:\\Backup", "--mit-quelle"},
        {"--liste", "--ziel", "D:\\Backup", "--probe"},
        {"--liste", "--ziel", "D:\\GibtEsNicht"},
        {"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--nach", "C:\\neu", "--nach",
         "C:\\neu2"},
    };
    for (const auto& argumente : abgelehnt) {
        std::string zeile;
        for (const auto& a : argumente)
            zeile += a + " ";
        SCOPED_TRACE(zeile);
        EXPECT_EQ(Rufe(argumente), 2) << aus.str() << fehler.str();
        EXPECT_FALSE(fehler.str().empty());
        EXPECT_EQ(Unterschiede(vorher, Schnappe(temp.Pfad())), "");
    }
}

TEST_F(Wiederherstellungstest, ATornOrMissingRecordGivesAClearErrorAndNoRestore) {
    Schreibe(Q() / "a.txt", "a");
    const std::string s1 = Sichere();
    Schreibe(Q() / "b.txt", "b");
    const std::string s2 = Sichere();
    const fs::path liste = Sicherungsordner(s2) / "tresor-ix-bestand.txt";
    std::string text;
    {
        std::ifstream f(liste, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(f), {});
    }
    auto setze = [&](const std::string& inhalt) {
        fs::permissions(liste, fs::perms::owner_read | fs::perms::owner_write);
        std::ofstream(liste, std::ios::binary | std::ios::trunc) << inhalt;
    };
    struct Fall {
        std::string name;
        std::string inhalt;
        std::string meldung;
    };
    std::string gekippt = text;
    gekippt[text.find("b.txt")] = 'c';
    const std::vector<Fall> faelle = {
        {"cut short", text.substr(0, text.size() / 2), "unvollständig"},
        {"last line cut", text.substr(0, text.size() - 3), "unvollständig"},
        {"a byte changed", gekippt, "Prüfsumme"},
        {"empty", "", "unvollständig"},
    };
    for (const Fall& fall : faelle) {
        SCOPED_TRACE(fall.name);
        setze(fall.inhalt);
        const fs::path nach = temp / "C" / "zurueck";
        EXPECT_EQ(Wiederherstellen(s2, nach), 1);
        EXPECT_NE(fehler.str().find("Bestandsliste"), std::string::npos) << fehler.str();
        EXPECT_NE(fehler.str().find(fall.meldung), std::string::npos) << fehler.str();
        EXPECT_NE(fehler.str().find("Nichts wurde wiederhergestellt."), std::string::npos) << fehler.str();
        EXPECT_FALSE(fs::exists(nach));
        EXPECT_EQ(Pruefen(s2), 1);
        EXPECT_EQ(Rufe({"--liste", "--ziel", "D:\\Backup"}), 0);
        EXPECT_NE(aus.str().find(s2 + "  ?  Bestandsliste beschädigt\n"), std::string::npos) << aus.str();
    }
    // Missing where the earlier backups have one: what belonged to the point is unknown.
    fs::remove(liste);
    EXPECT_EQ(Wiederherstellen(s2, temp / "C" / "zurueck"), 1);
    EXPECT_NE(fehler.str().find("fehlt die Bestandsliste"), std::string::npos) << fehler.str();
    EXPECT_FALSE(fs::exists(temp / "C" / "zurueck"));
    EXPECT_EQ(Pruefen(s2), 1);
    // The earlier point is untouched by that.
    EXPECT_EQ(Wiederherstellen(s1, temp / "C" / "zurueck"), 0) << fehler.str();
}

TEST_F(Wiederherstellungstest, BackupsWithoutRecordsGiveTheNewestCopiesAndSaySo) {
    Schreibe(Q() / "a.txt", "a1");
    Schreibe(Q() / "geloescht.txt", "weg");
    Schreibe(Q() / "sub" / "b.txt", "b");
    const std::string s1 = Sichere();
    Schreibe(Q() / "a.txt", "a2-neu");
    fs::remove(Q() / "geloescht.txt");
    const std::string s2 = Sichere();
    const Schnappschuss soll = Schnappe(Q());
    // Backups made before records were written.
    fs::remove(Sicherungsordner(s1) / "tresor-ix-bestand.txt");
    fs::remove(Sicherungsordner(s2) / "tresor-ix-bestand.txt");

    const fs::path nach = temp / "C" / "zurueck";
    EXPECT_EQ(Wiederherstellen(s2, nach), 0) << fehler.str();
    EXPECT_NE(fehler.str().find("gelöschte Dateien können wiederkehren"), std::string::npos) << fehler.str();
    EXPECT_EQ(LiesDatei(nach / "a.txt"), "a2-neu");
    EXPECT_EQ(LiesDatei(nach / "sub" / "b.txt"), "b");
    // The deleted file comes back: nothing says it was deleted.
    EXPECT_EQ(LiesDatei(nach / "geloescht.txt"), "weg");
    EXPECT_EQ(Rufe({"--liste", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten"}), 0);
    EXPECT_NE(aus.str().find(s1 + "  C:\\Daten  ohne Bestandsliste\n"), std::string::npos) << aus.str();

    // The first run with a record finds the unchanged files' versions in the backups without one.
    Schreibe(Q() / "c.txt", "c");
    const std::string s3 = Sichere();
    const Schnappschuss soll3 = Schnappe(Q());
    EXPECT_EQ(Pruefen(s3), 0) << fehler.str();
    const fs::path nach3 = temp / "C" / "zurueck3";
    EXPECT_EQ(Wiederherstellen(s3, nach3), 0) << fehler.str();
    EXPECT_EQ(fehler.str(), "");
    EXPECT_EQ(Unterschiede(soll3, Schnappe(nach3)), "");
    (void)soll;
}

// A backup folder without a usable record counts as a point of the source wherever the source's mirror is in it;
// in a target with records of another source mirrored at the same place, inside or around it, that folder may
// be the other source's. The listing says so beside the row, and a restore or check of it takes it and says so,
// naming that source; where no other source is mirrored there, nothing more is said.
TEST_F(Wiederherstellungstest, AFolderWithoutARecordThatMayBeAnotherSourcesIsNamedSo) {
    struct Fall {
        std::string Was;
        std::string Quelle; // the source asked for
        std::string Andere; // the other source, backed up with records
        bool OhneVonAndere; // the folder without a record is the other source's, else the source's own
        bool Mehrdeutig;
    };
    const std::vector<Fall> faelle = {
        {"eine Quelle gleichen Namens auf einem anderen Laufwerk", "C:\\Daten", "D:\\Daten", true, true},
        {"eine Quelle darin", "C:\\Daten", "C:\\Daten\\sub", false, true},
        {"die Quelle, in der sie liegt", "C:\\Daten\\sub", "C:\\Daten", true, true},
        {"eine Quelle anderswo", "C:\\Daten", "C:\\Andere", false, false},
    };
    const auto posix = [this](const std::string& q) { return fs::path(*laufwerke.ZuPosix(q)); };
    int nummer = 0;
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Was);
        for (const char* o : {"C/Daten", "C/Andere", "D/Daten"})
            fs::remove_all(temp / o);
        fs::remove_all(temp / "D" / "Backup");
        fs::create_directories(temp / "D" / "Backup");
        Schreibe(posix(f.Quelle) / "eigen.txt", "von " + f.Quelle);
        Schreibe(posix(f.Quelle) / "sub" / "s.txt", "sub von " + f.Quelle);
        Schreibe(posix(f.Andere) / "fremd.txt", "von " + f.Andere);
        Schreibe(posix(f.Andere) / "sub" / "t.txt", "sub von " + f.Andere);
        const auto sichere = [&](const std::string& quelle) {
            ++uhr.sekunde;
            EXPECT_EQ(Rufe({"--quelle", quelle, "--ziel", "D:\\Backup"}), 0) << fehler.str();
            char stand[32];
            std::snprintf(stand, sizeof stand, "2026-03-14--09-00-%02d", uhr.sekunde);
            return std::string(stand);
        };
        // The folder without a record first (an earlier version's), then the backups with records.
        const std::string ohne = sichere(f.OhneVonAndere ? f.Andere : f.Quelle);
        fs::remove(Sicherungsordner(ohne) / "tresor-ix-bestand.txt");
        (void)sichere(f.OhneVonAndere ? f.Quelle : f.Andere);
        (void)sichere(f.OhneVonAndere ? f.Andere : f.Quelle);
        const std::string hinweis = "kann ebenso zur Quelle " + f.Andere + " gehören";

        aus.str("");
        fehler.str("");
        EXPECT_EQ(Rufe({"--liste", "--ziel", "D:\\Backup", "--quelle", f.Quelle}), 0) << fehler.str();
        const std::size_t zeile = aus.str().find(ohne + "  " + f.Quelle + "  ohne Bestandsliste");
        ASSERT_NE(zeile, std::string::npos) << aus.str();
        const std::string gelistet = aus.str().substr(zeile, aus.str().find('\n', zeile) - zeile);
        EXPECT_EQ(gelistet.find(hinweis) != std::string::npos, f.Mehrdeutig) << gelistet;

        const fs::path nach = temp / "C" / ("zurueck" + std::to_string(++nummer));
        fehler.str("");
        EXPECT_EQ(Rufe({"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", f.Quelle, "--stand", ohne, "--nach",
                        nach.string()}),
                  0)
            << fehler.str();
        EXPECT_TRUE(fs::exists(nach / "sub")) << fehler.str();
        EXPECT_EQ(fehler.str().find(hinweis) != std::string::npos, f.Mehrdeutig) << fehler.str();
        fehler.str("");
        EXPECT_EQ(Rufe({"--pruefen", "--ziel", "D:\\Backup", "--quelle", f.Quelle, "--stand", ohne}), 0)
            << fehler.str();
        EXPECT_EQ(fehler.str().find(hinweis) != std::string::npos, f.Mehrdeutig) << fehler.str();
    }
}

// A backup folder that another user wrote into the target (one he may write), named as the newest point, with a
// record of the source: the listing names its owner, and a restore or check that names no point takes the newest
// point of the user running or of the target folder's owner instead, and says so. On a medium whose entries all
// show one user (the target folder too) nothing changes; where every point is another user's, the newest is
// taken, its owner named.
TEST_F(Wiederherstellungstest, APointAnotherUserWroteIntoTheTargetLeadsNoRestore) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "braucht root: Sicherungsordner eines anderen Benutzers";
    struct Fall {
        std::string Was;
        bool ZielFremd;   // the target folder is the other user's (a medium that keeps no owners)
        bool EigeneFremd; // the user's own backup folders show the other user as well
        bool Gepflanzt;   // the planted point is the one restored
        bool Genannt;     // the owner is named
        int Status;       // of the restore: copies another user owns keep their owner, named
    };
    const std::vector<Fall> faelle = {
        {"eine gepflanzte neueste Sicherung", false, false, false, true, 0},
        {"ein Medium, das alles einem Benutzer gibt", true, true, true, false, 1},
        {"nur Sicherungen eines anderen Benutzers", false, true, true, true, 1},
    };
    const std::string genannt = "einem anderen Benutzer (Nummer 65534)";
    int nummer = 0;
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Was);
        fs::remove_all(temp / "D" / "Backup");
        fs::create_directories(temp / "D" / "Backup");
        Schreibe(Q() / "a.txt", "erst");
        Schreibe(Q() / "sub" / "b.txt", "b");
        (void)Sichere();
        Schreibe(Q() / "a.txt", "echt");
        const std::string eigen = Sichere();
        // The planted point: the own newest record under its name, its a.txt in its own mirror.
        ++uhr.sekunde;
        char name[32];
        std::snprintf(name, sizeof name, "2026-03-14--09-00-%02d", uhr.sekunde);
        const std::string fremd = name;
        fs::create_directories(Sicherungsordner(fremd) / "Daten");
        Schreibe(Sicherungsordner(fremd) / "Daten" / "a.txt", "BÖS");
        auto gelesen = LiesBestand(LiesDatei(Sicherungsordner(eigen) / Bestandsdateiname(0)));
        ASSERT_TRUE(std::holds_alternative<Bestand>(gelesen));
        Bestand& b = std::get<Bestand>(gelesen);
        b.Ordner = "Sicherung-" + fremd;
        // Whoever writes the target writes a record that fits the copy: the checksum of its content too.
        Summierer summe;
        summe.Dazu("BÖS", std::string_view("BÖS").size());
        for (Bestandseintrag& e : b.Eintraege)
            if (e.Pfad == "a.txt") {
                e.Ort = b.Ordner;
                e.Inhalt = summe.Summe();
            }
        Schreibe(Sicherungsordner(fremd) / Bestandsdateiname(0), SchreibeBestand(b));
        std::vector<fs::path> fremde;
        for (const auto& e : fs::recursive_directory_iterator(temp / "D" / "Backup"))
            if (e.path().string().find(fremd) != std::string::npos || f.EigeneFremd)
                fremde.push_back(e.path());
        if (f.ZielFremd)
            fremde.push_back(temp / "D" / "Backup");
        for (const fs::path& p : fremde)
            ASSERT_EQ(::lchown(p.c_str(), 65534, 65534), 0) << p;

        aus.str("");
        fehler.str("");
        EXPECT_EQ(Rufe({"--liste", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten"}), 0) << fehler.str();
        const std::size_t zeile = aus.str().find(fremd + "  C:\\Daten  ");
        ASSERT_NE(zeile, std::string::npos) << aus.str();
        EXPECT_EQ(aus.str().substr(zeile, aus.str().find('\n', zeile) - zeile).find(genannt) != std::string::npos,
                  f.Genannt)
            << aus.str();

        const fs::path nach = temp / "C" / ("zurueck-fremd" + std::to_string(++nummer));
        fehler.str("");
        EXPECT_EQ(
            Rufe({"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--nach", nach.string()}),
            f.Status)
            << fehler.str();
        EXPECT_EQ(LiesDatei(nach / "a.txt"), f.Gepflanzt ? "BÖS" : "echt");
        EXPECT_EQ(fehler.str().find(genannt) != std::string::npos, f.Genannt) << fehler.str();
        aus.str("");
        fehler.str("");
        EXPECT_EQ(Rufe({"--pruefen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten"}), 0) << fehler.str();
        EXPECT_NE(aus.str().find("Stand " + (f.Gepflanzt ? fremd : eigen) + " ist vollständig"), std::string::npos)
            << aus.str();
        EXPECT_EQ(fehler.str().find(genannt) != std::string::npos, f.Genannt) << fehler.str();
    }
}

// Backups without a record are gathered newest copy first; a folder without a record that another user wrote into
// the target among them adds nothing to a point of the user's own, and is named.
TEST_F(Wiederherstellungstest, AFolderAnotherUserWroteIsNotGatheredIntoAPointWithoutARecord) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "braucht root: Sicherungsordner eines anderen Benutzers";
    Schreibe(Q() / "a.txt", "eins");
    const std::string s1 = Sichere();
    ++uhr.sekunde; // the planted folder's second
    Schreibe(Q() / "a.txt", "zwei");
    const std::string s3 = Sichere();
    std::string s2 = s3;
    --s2.back();
    ASSERT_LT(s1, s2);
    ASSERT_LT(s2, s3);
    fs::create_directories(Sicherungsordner(s2) / "Daten");
    Schreibe(Sicherungsordner(s2) / "Daten" / "fremd.txt", "untergeschoben");
    for (const fs::path& p :
         {Sicherungsordner(s2), Sicherungsordner(s2) / "Daten", Sicherungsordner(s2) / "Daten" / "fremd.txt"})
        ASSERT_EQ(::lchown(p.c_str(), 65534, 65534), 0);
    for (const std::string& s : {s1, s3})
        fs::remove(Sicherungsordner(s) / "tresor-ix-bestand.txt");
    const fs::path nach = temp / "C" / "zurueck";
    EXPECT_EQ(Wiederherstellen(s3, nach), 0) << fehler.str();
    EXPECT_EQ(LiesDatei(nach / "a.txt"), "zwei");
    EXPECT_FALSE(fs::exists(nach / "fremd.txt"));
    EXPECT_NE(fehler.str().find("Die Sicherung " + s2 + " gehört einem anderen Benutzer (Nummer 65534)"),
              std::string::npos)
        << fehler.str();
}

// Backups without a record, merged newest first: the entries of a point's tree in byte order of their paths
// ("a-b.txt" before "a/b.txt" before "a0.txt"), each file from the newest backup that holds it, and nothing
// below a file of a newer backup. A folder is written "pfad/", a file "pfad@n", n the backup it comes from.
struct Ohnebestandsfall {
    const char* name;
    std::function<void(const fs::path&)> erst, dann;
    std::vector<std::string> baum; // of the second point
};

class OhneBestand : public Wiederherstellungstest, public ::testing::WithParamInterface<Ohnebestandsfall> {};

TEST_P(OhneBestand, GibtDieNeuestenKopienInByteordnung) {
    const Ohnebestandsfall& fall = GetParam();
    fall.erst(Q());
    const std::string s1 = Sichere();
    fall.dann(Q());
    const std::string s2 = Sichere();
    const Schnappschuss soll = Schnappe(Q());
    fs::remove(Sicherungsordner(s1) / "tresor-ix-bestand.txt");
    fs::remove(Sicherungsordner(s2) / "tresor-ix-bestand.txt");

    Wiederherstellung w(
        laufwerke, [this] { return ErzeugePosixDateisystem(laufwerke); }, aus, fehler);
    const auto baum = w.Baum("D:\\Backup", "C:\\Daten", s2);
    ASSERT_TRUE(baum) << fehler.str();
    std::vector<std::string> gelesen;
    for (const Baumeintrag& b : baum->Eintraege)
        gelesen.push_back(b.Art == Eintragsart::Ordner ? (b.Pfad == "." ? "." : b.Pfad + "/")
                                                       : b.Pfad + "@" + (b.Ort == "Sicherung-" + s1 ? "1" : "2"));
    EXPECT_EQ(gelesen, fall.baum);
    // Walked twice over (counted, then written), the restore has the source's entries and contents as they
    // were (a folder's bits and time are not known without a record).
    const fs::path nach = temp / "C" / "zurueck";
    EXPECT_EQ(Wiederherstellen(s2, nach), 0) << fehler.str();
    auto inhalt = [](const Schnappschuss& s) {
        std::map<std::string, std::string> m;
        for (const auto& [rel, e] : s)
            m[rel] = std::string(1, e.Art) + e.Inhalt;
        return m;
    };
    EXPECT_EQ(inhalt(Schnappe(nach)), inhalt(soll));
}

INSTANTIATE_TEST_SUITE_P(Sicherungen, OhneBestand,
                         ::testing::Values(Ohnebestandsfall{
                                               "Byteordnung",
                                               [](const fs::path& q) {
                                                   Schreibe(q / "a" / "b.txt", "1");
                                                   Schreibe(q / "a-b.txt", "1");
                                                   Schreibe(q / "a0.txt", "1");
                                                   Schreibe(q / "ä.txt", "1");
                                               },
                                               [](const fs::path& q) { Schreibe(q / "a" / "b.txt", "zwei"); },
                                               {".", "a/", "a-b.txt@1", "a/b.txt@2", "a0.txt@1", "ä.txt@1"}},
                                           Ohnebestandsfall{"DateiWirdOrdner",
                                                            [](const fs::path& q) {
                                                                Schreibe(q / "a", "1");
                                                                Schreibe(q / "z.txt", "1");
                                                            },
                                                            [](const fs::path& q) {
                                                                fs::remove(q / "a");
                                                                Schreibe(q / "a" / "x.txt", "2");
                                                            },
                                                            {".", "a/", "a/x.txt@2", "z.txt@1"}},
                                           Ohnebestandsfall{"OrdnerWirdDatei",
                                                            [](const fs::path& q) {
                                                                Schreibe(q / "a" / "x.txt", "1");
                                                                Schreibe(q / "a" / "u" / "y.txt", "1");
                                                                Schreibe(q / "z.txt", "1");
                                                            },
                                                            [](const fs::path& q) {
                                                                fs::remove_all(q / "a");
                                                                Schreibe(q / "a", "2");
                                                            },
                                                            {".", "a@2", "z.txt@1"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Wiederherstellungstest, ADriveRootSourceKeepsItsOwnFileOfTheRecordsName) {
    // The source is drive D: itself; its mirror is the backup folder, where the record lies too.
    const fs::path d = temp / "D";
    fs::remove_all(d / "Backup");
    fs::create_directories(temp / "C" / "Ziel");
    Schreibe(d / "tresor-ix-bestand.txt", "eine Datei der Quelle, keine Bestandsliste\n");
    Schreibe(d / "x.txt", "x");
    auto sichere = [&] {
        ++uhr.sekunde;
        EXPECT_EQ(Rufe({"--quelle", "D:\\", "--ziel", "C:\\Ziel"}), 0) << fehler.str();
        char stand[32];
        std::snprintf(stand, sizeof stand, "2026-03-14--09-00-%02d", uhr.sekunde);
        return std::string(stand);
    };
    const std::string s1 = sichere();
    const Schnappschuss soll1 = Schnappe(d);
    Schreibe(d / "y.txt", "y");
    const std::string s2 = sichere();
    const Schnappschuss soll2 = Schnappe(d);
    const fs::path ordner1 = temp / "C" / "Ziel" / ("Sicherung-" + s1);
    EXPECT_EQ(LiesDatei(ordner1 / "tresor-ix-bestand.txt"), "eine Datei der Quelle, keine Bestandsliste\n");
    EXPECT_TRUE(fs::exists(ordner1 / "tresor-ix-bestand-2.txt"));

    for (const auto& [stand, soll] : {std::pair{s1, soll1}, std::pair{s2, soll2}}) {
        SCOPED_TRACE(stand);
        const fs::path nach = temp / "C" / ("zurueck-" + stand);
        EXPECT_EQ(Rufe({"--wiederherstellen", "--ziel", "C:\\Ziel", "--quelle", "D:\\", "--stand", stand, "--nach",
                        nach.string()}),
                  0)
            << fehler.str();
        EXPECT_EQ(Unterschiede(soll, Schnappe(nach)), "");
    }
}

TEST_F(Wiederherstellungstest, PrintedNamesShowControlCharactersEscaped) {
    Schreibe(Q() / "a.txt", "a");
    Schreibe(Q() / std::string("b\n\x1b[2Jfalsch"), "b");
    const std::string s1 = Sichere();
    fs::remove_all(Sicherungsordner(s1) / "Daten");
    EXPECT_EQ(Pruefen(s1), 1);
    EXPECT_NE(fehler.str().find("Fehlt: b\\x0a\\x1b[2Jfalsch: "), std::string::npos) << fehler.str();
    EXPECT_EQ(fehler.str().find('\x1b'), std::string::npos);
}

// Bits or a time that cannot be given to a restored file, link or folder leave it in place under its name: the
// restore counts it as restored, names what it could not set, and ends with problems, never calling it missing.
TEST_F(Wiederherstellungstest, AStateThatCannotBeSetLeavesTheEntryRestoredAndSaysSo) {
    Schreibe(Q() / "a.txt", "a");
    Schreibe(Q() / "sub" / "b.txt", "bb");
    fs::create_symlink("a.txt", Q() / "zeiger");
    const std::string s1 = Sichere();
    // The copies in the backup have another time than their records: the restore gives each its own.
    const fs::path spiegel = Sicherungsordner(s1) / "Daten";
    for (const char* kopie : {"a.txt", "zeiger"}) {
        const timespec zeiten[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (spiegel / kopie).c_str(), zeiten, AT_SYMLINK_NOFOLLOW), 0) << kopie;
    }
    int nummer = 0;
    for (const char* eintrag : {"a.txt", "zeiger", "sub"}) {
        SCOPED_TRACE(eintrag);
        fehler.str("");
        aus.str("");
        const std::string name = "zurueck" + std::to_string(++nummer);
        const Dateisystemfabrik fabrik = [&]() -> std::unique_ptr<Dateisystem> {
            auto h = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke), nullptr);
            h->vorher = [&](const std::string& zeile) {
                const std::string pfad = "C:\\" + name + "\\" + eintrag;
                if (zeile == "SetzeStand " + pfad)
                    throw FsFehler("SetzeStand", pfad, std::make_error_code(std::errc::operation_not_permitted));
            };
            return h;
        };
        const fs::path nach = temp / "C" / name;
        EXPECT_EQ(Rufe({"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--stand", s1, "--nach",
                        nach.string()},
                       fabrik),
                  1)
            << fehler.str();
        EXPECT_TRUE(fs::exists(fs::symlink_status(nach / eintrag)));
        EXPECT_EQ(LiesDatei(nach / "sub" / "b.txt"), "bb");
        EXPECT_NE(
            fehler.str().find(std::string("Wiederhergestellt, aber Rechte oder Zeit nicht gesetzt: ") + eintrag + " ("),
            std::string::npos)
            << fehler.str();
        EXPECT_NE(fehler.str().find("\n1 Eintrag wurde wiederhergestellt, ohne dass seine Rechte oder Zeit gesetzt"),
                  std::string::npos)
            << fehler.str();
        EXPECT_EQ(fehler.str().find("Nicht wiederhergestellt"), std::string::npos) << fehler.str();
        EXPECT_NE(aus.str().find(": 1 Ordner, 2 Dateien, 1 Verknüpfungen, "), std::string::npos) << aus.str();
    }
}

// A restore or a check that did all its work, with problems, and heard a signal only after its last file ends as
// such a run ends, with 1: nothing was left undone. One that the signal stops amid the files ends with 128 + it.
TEST_F(Wiederherstellungstest, ASignalAfterTheLastFileLeavesTheStatusOfTheProblems) {
    for (const char* d : {"a.txt", "b.txt", "c.txt", "sub/d.txt", "sub/e.txt"})
        Schreibe(Q() / d, std::string("Inhalt von ") + d);
    const std::string stand = Sichere();
    // A version the point names is gone from its backup folder: the restore and the check end with problems.
    ASSERT_TRUE(fs::remove(Sicherungsordner(stand) / "Daten" / "c.txt"));
    struct Fall {
        const char* name;
        bool pruefen;
        const char* nachDatei; // the signal comes once this file is copied (a restore) or looked at (a check)
        int status;
    };
    for (const Fall& f : {Fall{"restore, after the last file", false, "e.txt", 1},
                          Fall{"restore, amid the files", false, "b.txt", 128 + SIGTERM},
                          Fall{"check, after the last file", true, "e.txt", 1},
                          Fall{"check, amid the files", true, "b.txt", 128 + SIGTERM}}) {
        SCOPED_TRACE(f.name);
        const fs::path nach = temp / "C" / "zurueck";
        fs::remove_all(nach);
        volatile std::sig_atomic_t signal = 0;
        const Dateisystemfabrik fabrik = [&]() -> std::unique_ptr<Dateisystem> {
            auto h = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke), nullptr);
            h->nachKopie = [&](const Datei& d, const Pfad&) {
                if (d.Name == f.nachDatei)
                    signal = SIGTERM;
            };
            h->vorher = [&](const std::string& zeile) {
                if (f.pruefen && zeile.starts_with("Stand ") && zeile.ends_with(std::string("\\") + f.nachDatei))
                    signal = SIGTERM;
            };
            return h;
        };
        const std::vector<std::string> argumente =
            f.pruefen ? std::vector<std::string>{"--pruefen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten"}
                      : std::vector<std::string>{"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle",
                                                 "C:\\Daten",          "--nach", nach.string()};
        EXPECT_EQ(RufeBefehlszeile(argumente, aus, fehler, laufwerke, uhr, temp / "C", fabrik, &signal), f.status)
            << fehler.str();
        EXPECT_EQ(signal, SIGTERM);
        EXPECT_EQ(fehler.str().find("Angehalten: ") != std::string::npos, f.status != 1) << fehler.str();
        EXPECT_EQ(fehler.str().find("c.txt") != std::string::npos, f.status == 1) << fehler.str();
    }
}

// SIGINT or SIGTERM stops a restore or a check as it stops a backup: before the next file, with 128 + the
// signal's number, and a comparison with the source before its next entry. What the stopped restore left is whole
// and the point's, and the messages say what it did and what to do, never that the point was restored; a restore
// into the emptied folder then gives the point exactly.
TEST_F(Wiederherstellungstest, ASignalStopsARestoreOrACheckBeforeTheNextFile) {
    for (const char* d : {"a.txt", "b.txt", "c.txt", "sub/d.txt", "sub/e.txt"})
        Schreibe(Q() / d, std::string("Inhalt von ") + d);
    const std::string stand = Sichere();
    const Schnappschuss soll = Schnappe(Q());
    struct Fall {
        const char* name;
        const char* modus; // --wiederherstellen, --pruefen or --mit-quelle (a check with the comparison)
        int signal;
        const char* nachDatei; // the signal comes once this file is copied (a restore) or the source's folder of
                               // this name is listed (the comparison); nullptr: before the run
        const char* meldung;
    };
    const std::string bisher = "Bis dahin wiederhergestellt in C:\\zurueck: 0 Ordner, ";
    for (const Fall& f :
         {Fall{"restore amid the files", "--wiederherstellen", SIGINT, "b.txt", "Angehalten: "},
          Fall{"restore, SIGTERM", "--wiederherstellen", SIGTERM, "b.txt", "Angehalten: "},
          Fall{"restore before the first file", "--wiederherstellen", SIGINT, nullptr, "Angehalten: 5 Dateien"},
          Fall{"check", "--pruefen", SIGTERM, nullptr, "Angehalten: Die Prüfung des Standes "},
          Fall{"comparison amid the folders", "--mit-quelle", SIGINT, "C:\\Daten\\sub",
               "Angehalten: Der Vergleich der Quelle mit dem Stand "}}) {
        SCOPED_TRACE(f.name);
        aus.str("");
        fehler.str("");
        const bool pruefen = std::string_view(f.modus) != "--wiederherstellen";
        const fs::path nach = temp / "C" / "zurueck";
        fs::remove_all(nach);
        volatile std::sig_atomic_t signal = f.nachDatei == nullptr ? f.signal : 0;
        const Dateisystemfabrik fabrik = [&]() -> std::unique_ptr<Dateisystem> {
            auto h = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke), nullptr);
            h->nachKopie = [&](const Datei& d, const Pfad&) {
                if (f.nachDatei != nullptr && d.Name == f.nachDatei)
                    signal = f.signal;
            };
            h->vorher = [&](const std::string& zeile) {
                if (f.nachDatei != nullptr && zeile == std::string("Files ") + f.nachDatei)
                    signal = f.signal;
            };
            return h;
        };
        std::vector<std::string> argumente{"--pruefen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten"};
        if (!pruefen)
            argumente = {"--wiederherstellen", "--ziel",  "D:\\Backup", "--quelle",
                         "C:\\Daten",          "--stand", stand,        "--nach",
                         nach.string()};
        else if (std::string_view(f.modus) == "--mit-quelle")
            argumente.emplace_back("--mit-quelle");
        EXPECT_EQ(RufeBefehlszeile(argumente, aus, fehler, laufwerke, uhr, temp / "C", fabrik, &signal), 128 + f.signal)
            << fehler.str();
        EXPECT_NE(fehler.str().find(f.meldung), std::string::npos) << fehler.str();
        // Nothing says that the point was restored or that the source matches it.
        EXPECT_EQ(aus.str().find("wiederhergestellt in"), std::string::npos) << aus.str();
        EXPECT_EQ(aus.str().find("Die Quelle"), std::string::npos) << aus.str();
        EXPECT_EQ(fehler.str().find("Die Quelle"), std::string::npos) << fehler.str();
        if (pruefen)
            continue;
        EXPECT_NE(fehler.str().find(bisher + (f.nachDatei == nullptr ? "0" : "2") + " Dateien, 0 Verknüpfungen"),
                  std::string::npos)
            << fehler.str();
        // Each file there is whole and the point's, and some are not there.
        const Schnappschuss ist = Schnappe(nach);
        std::size_t dateien = 0;
        for (const auto& [rel, e] : ist)
            if (e.Art == 'D') {
                ++dateien;
                ASSERT_TRUE(soll.contains(rel)) << rel;
                EXPECT_EQ(e, soll.at(rel)) << rel;
            }
        if (f.nachDatei == nullptr)
            EXPECT_EQ(dateien, 0u);
        else {
            EXPECT_TRUE(ist.contains(f.nachDatei));
            EXPECT_LT(dateien, 5u);
        }
        EXPECT_NE(fehler.str().find("Der Ordner C:\\zurueck enthält nur einen Teil des Standes " + stand),
                  std::string::npos)
            << fehler.str();
        // As the message says: a folder with files in it is not restored into, the emptied one is.
        if (dateien > 0) {
            EXPECT_EQ(Wiederherstellen(stand, nach), 2) << fehler.str();
            EXPECT_EQ(Unterschiede(ist, Schnappe(nach)), "");
            fs::remove_all(nach);
        }
        EXPECT_EQ(Wiederherstellen(stand, nach), 0) << fehler.str();
        EXPECT_EQ(Unterschiede(soll, Schnappe(nach)), "");
    }
}

} // namespace
} // namespace tresor::test
