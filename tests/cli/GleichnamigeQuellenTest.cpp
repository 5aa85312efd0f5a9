// Which records in a target are a source's, whatever letters the drives have today.
//
// Two sources of one name in one target: a disk that was E: is gone, and the drive that has the letter E: today
// has a folder Fotos with backups of its own. Asked for by its path, E:\Fotos is today's folder; asked for as its
// records name it (--wie-verzeichnet), it is the gone disk's. The listing, the check and the restore reach the
// points of the one asked for and only those, and two gone sources of one name are told apart by the place each
// had, never mixed.
#include "tests/cli/Wiederherstellungstest.h"

#include <gtest/gtest.h>

#include <set>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;

class GleichnamigeQuellen : public Wiederherstellungstest {
protected:
    // A drive table: C: and D: (the target's) as the fixture's, E: (or `buchstabe`) the folder `e` of the temporary
    // folder, or none.
    Laufwerkstabelle Tabelle(const std::string& e, char buchstabe = 'E') const {
        std::vector<Laufwerk> l = {{'C', (temp / "C").string(), {}}, {'D', (temp / "D").string(), {}}};
        if (!e.empty())
            l.push_back({buchstabe, (temp / e).string(), {}});
        return Laufwerkstabelle(l);
    }
    // A backup run of E:\Fotos at the next second: its time, and the source as it was.
    std::string SichereFotos() {
        ++uhr.sekunde;
        EXPECT_EQ(Rufe({"--quelle", "E:\\Fotos", "--ziel", "D:\\Backup"}), 0) << fehler.str();
        char stand[32];
        std::snprintf(stand, sizeof stand, "2026-03-14--09-00-%02d", uhr.sekunde);
        soll[stand] = Schnappe(laufwerke.ZuPosix("E:\\Fotos").value_or("/nirgends"));
        return stand;
    }
    // The times of the rows of a listing.
    std::set<std::string> Gelistet() const {
        std::set<std::string> staende;
        std::istringstream zeilen(aus.str());
        for (std::string z; std::getline(zeilen, z);)
            if (z.starts_with("2026-"))
                staende.insert(z.substr(0, 20));
        return staende;
    }

    // Two backups of the disk that had E: (alt), then two of the drive that has E: now (neu).
    void Lege() {
        laufwerke = Tabelle("alt");
        Schreibe(temp / "alt" / "Fotos" / "a.jpg", "alt eins");
        Schreibe(temp / "alt" / "Fotos" / "sub" / "b.jpg", "alt b");
        alt.push_back(SichereFotos());
        Schreibe(temp / "alt" / "Fotos" / "a.jpg", "alt zwei, länger");
        alt.push_back(SichereFotos());
        laufwerke = Tabelle("neu");
        Schreibe(temp / "neu" / "Fotos" / "x.jpg", "neu eins");
        neu.push_back(SichereFotos());
        Schreibe(temp / "neu" / "Fotos" / "y.jpg", "neu y");
        neu.push_back(SichereFotos());
    }

    std::vector<std::string> alt, neu;
    std::map<std::string, Schnappschuss> soll;
};

TEST_F(GleichnamigeQuellen, TheListingOfEachReachesItsOwnPointsOnly) {
    Lege();
    const std::string frueher = "E:\\Fotos (früher " + (temp / "alt" / "Fotos").string() + ")";
    const std::set<std::string> alle = {alt[0], alt[1], neu[0], neu[1]};
    struct Fall {
        std::vector<std::string> weitere;
        std::set<std::string> staende;
        std::string zeigt; // a row's source as the listing shows it
    };
    const std::vector<Fall> faelle = {
        {{}, alle, frueher},
        {{"--quelle", "E:\\Fotos"}, {neu[0], neu[1]}, "  E:\\Fotos  "},
        {{"--quelle", "E:\\Fotos", "--wie-verzeichnet"}, {alt[0], alt[1]}, frueher},
        {{"--quelle", "E:\\Fotos", "--wie-verzeichnet=" + (temp / "alt" / "Fotos").string() + "/"},
         {alt[0], alt[1]},
         frueher},
        {{"--quelle", "E:\\Fotos", "--wie-verzeichnet=/anderswo/Fotos"}, {}, "Keine Sicherungen dieser Quelle"},
    };
    for (const Fall& f : faelle) {
        std::vector<std::string> a = {"--liste", "--ziel", "D:\\Backup"};
        a.insert(a.end(), f.weitere.begin(), f.weitere.end());
        SCOPED_TRACE(a.back());
        aus.str("");
        EXPECT_EQ(Rufe(a), 0) << fehler.str();
        EXPECT_EQ(Gelistet(), f.staende) << aus.str();
        EXPECT_NE(aus.str().find(f.zeigt), std::string::npos) << aus.str();
    }
}

TEST_F(GleichnamigeQuellen, RestoreAndCheckReachTheSourceAskedForAndNeverMixTwo) {
    Lege();
    const std::string altOrt = (temp / "alt" / "Fotos").string();
    const std::string neuOrt = (temp / "neu" / "Fotos").string();
    struct Fall {
        const char* was;
        std::string e;                    // what E: is today ("": no drive E:; "F:neu": no E:, neu is F:)
        std::vector<std::string> weitere; // after the mode, target and source
        int status;
        std::string stand;  // the point restored ("": none)
        std::string gesagt; // in the output or the errors
    };
    const std::string nichtDa = "Die Quelle E:\\Fotos ist nicht da.";
    const std::vector<Fall> faelle = {
        {"by its path: today's folder", "neu", {}, 0, neu[1], ""},
        {"as recorded: the gone disk's newest point", "neu", {"--wie-verzeichnet"}, 0, alt[1], ""},
        {"as recorded, an earlier point", "neu", {"--wie-verzeichnet", "--stand", alt[0]}, 0, alt[0], ""},
        {"as recorded, a point of today's folder",
         "neu",
         {"--wie-verzeichnet", "--stand", neu[0]},
         2,
         "",
         "keine Sicherung der Quelle E:\\Fotos vom Stand"},
        {"by its path, a point of the gone disk", "neu", {"--stand", alt[0]}, 2, "", "vom Stand " + alt[0]},
        {"as recorded, by a POSIX path", "neu", {"--wie-verzeichnet"}, 2, "", "wie --liste sie nennt"},
        {"both disks gone, as recorded: two sources, refused",
         "dritt",
         {"--wie-verzeichnet"},
         2,
         "",
         "mehrerer Quellen, die E:\\Fotos hießen: E:\\Fotos (früher " + altOrt + "), E:\\Fotos (früher " + neuOrt +
             ")."},
        {"no drive E: at all, by its path: two sources, refused", "", {}, 2, "", "mehrerer Quellen"},
        {"no drive E:, the new disk is F: now: by its path, the gone one alone", "F:neu", {}, 0, alt[1], ""},
        {"both gone, the one given by its place", "dritt", {"--wie-verzeichnet=" + altOrt}, 0, alt[1], ""},
        {"both gone, the other given by its place", "", {"--wie-verzeichnet=" + neuOrt}, 0, neu[1], ""},
    };
    int nummer = 0;
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.was);
        laufwerke = f.e.starts_with("F:") ? Tabelle(f.e.substr(2), 'F') : Tabelle(f.e);
        // The source as the listing shows it; by a POSIX path only in the row that says so.
        const std::string quelle =
            std::string(f.was).ends_with("POSIX path") ? (temp / "neu" / "Fotos").string() : std::string("E:\\Fotos");
        const auto rufe = [&](std::vector<std::string> a) {
            a.insert(a.end(), {"--ziel", "D:\\Backup", "--quelle", quelle});
            a.insert(a.end(), f.weitere.begin(), f.weitere.end());
            aus.str("");
            fehler.str("");
            return Rufe(a);
        };
        const fs::path nach = temp / "C" / ("zurueck" + std::to_string(++nummer));
        EXPECT_EQ(rufe({"--wiederherstellen", "--nach", nach.string()}), f.status) << fehler.str();
        EXPECT_NE((aus.str() + fehler.str()).find(f.gesagt), std::string::npos) << fehler.str();
        if (f.stand.empty()) {
            EXPECT_FALSE(fs::exists(nach));
        } else {
            EXPECT_EQ(Unterschiede(soll.at(f.stand), Schnappe(nach)), "");
        }
        // The check takes the same point; compared with the source, one that is not there is not there, whatever
        // folder E:\Fotos names today.
        EXPECT_EQ(rufe({"--pruefen"}), f.status) << fehler.str();
        if (!f.stand.empty()) {
            EXPECT_NE(aus.str().find("Stand " + f.stand + " ist vollständig"), std::string::npos) << aus.str();
        }
        if (f.status == 0) {
            const bool da = f.weitere.empty() && f.e == "neu";
            EXPECT_EQ(rufe({"--pruefen", "--mit-quelle"}), da ? 0 : 1) << fehler.str();
            EXPECT_EQ(fehler.str().find(nichtDa) != std::string::npos, !da) << fehler.str();
            EXPECT_EQ(fehler.str().find("Neu in der Quelle"), std::string::npos) << fehler.str();
        }
    }
}

// A record is the source's where it names the source's place in the file system and its path below the drive
// (where each backup folder mirrors it); the letter is the one the drive had when the record was written, and
// letters follow the order of the mount points at each start. A source whose drive is not there today is asked
// for as its record names it; where its letter names another drive today, explicitly so (--wie-verzeichnet).
TEST_F(Wiederherstellungstest, ASourceIsFoundByItsPlaceAndItsPathBelowTheDriveWhateverItsLetter) {
    Schreibe(Q() / "a.txt", "a");
    Schreibe(Q() / "sub" / "b.txt", "b");
    (void)Sichere();
    const Schnappschuss soll = Schnappe(Q());
    struct Fall {
        const char* name;
        Laufwerkstabelle tabelle;
        const char* quelle;
        const char* ziel;
        bool gefunden;
        bool quelleDa = true;
        std::vector<std::string> weitere = {}; // further arguments of the restore, check and listing
        std::string gelistet = {};             // what the listing shows for the source, where not `quelle`
        std::string hinweis = {};              // said when it is not found
    };
    // Another drive took the letter C: of the source's disk, which is gone; it has a folder Daten of its own.
    const Laufwerkstabelle anderesC(
        {Laufwerk{'C', (temp / "X").string(), {}}, Laufwerk{'E', (temp / "D").string(), {}}});
    // The drive mounted on the temporary folder's C is gone: the folder is C:\C of the drive C: today.
    const Laufwerkstabelle ueberC({Laufwerk{'C', temp.Pfad().string(), {}}, Laufwerk{'E', (temp / "D").string(), {}}});
    const std::string frueher = " (früher " + Q().string() + ")";
    const std::vector<Fall> faelle = {
        {"the table it was written under", laufwerke, "C:\\Daten", "D:\\Backup", true},
        // Another drive mounted before them since: the source's drive is F:, the target's E:.
        {"the same folder under another letter",
         Laufwerkstabelle({Laufwerk{'E', (temp / "D").string(), {}}, Laufwerk{'F', (temp / "C").string(), {}}}),
         "F:\\Daten", "E:\\Backup", true},
        // The same folder is C:\C\Daten: the record names it \Daten below its drive, so the place of its mirror
        // in the backup is not known from the source asked for, and the record's own word for it is not taken.
        // Said how it is reached: as its records name it (a drive mounted there is gone).
        {"the same folder at another path below its drive",
         ueberC,
         "C:\\C\\Daten",
         "E:\\Backup",
         false,
         true,
         {},
         {},
         "Die Sicherungen von C:\\Daten" + frueher + " gehören zu einer Quelle, deren Laufwerk nicht da ist"},
        // Another folder of that path below its drive.
        {"another folder under the record's letter",
         Laufwerkstabelle({Laufwerk{'C', (temp / "D").string(), {}}, Laufwerk{'D', (temp / "D").string(), {}}}),
         "C:\\Daten", "D:\\Backup", false},
        // The source's disk is gone (no drive C: today): asked for as its record names it, the record is the
        // source's, and its backups come back.
        {"a source whose drive is not there, as its record names it",
         Laufwerkstabelle({Laufwerk{'E', (temp / "D").string(), {}}}), "C:\\Daten", "E:\\Backup", true, false},
        {"a gone source whose letter names another drive, asked for as recorded",
         anderesC,
         "C:\\Daten",
         "E:\\Backup",
         true,
         false,
         {"--wie-verzeichnet"},
         "C:\\Daten" + frueher},
        {"the same, its former place given",
         anderesC,
         "C:\\Daten",
         "E:\\Backup",
         true,
         false,
         {"--wie-verzeichnet=" + Q().string()},
         "C:\\Daten" + frueher},
        {"the same, asked for by its path today: the other drive's folder, and said how to reach the gone one",
         anderesC,
         "C:\\Daten",
         "E:\\Backup",
         false,
         false,
         {},
         {},
         "Die Sicherungen von C:\\Daten" + frueher + " gehören zu einer Quelle, deren Laufwerk nicht da ist"},
    };
    fs::create_directories(temp / "D" / "Daten");
    Schreibe(temp / "X" / "Daten" / "a.txt", "das andere Laufwerk");
    int nummer = 0;
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.name);
        laufwerke = f.tabelle;
        const fs::path nach = temp / "D" / ("zurueck" + std::to_string(++nummer));
        fehler.str("");
        const auto mit = [&f](std::vector<std::string> a) {
            a.insert(a.end(), f.weitere.begin(), f.weitere.end());
            return a;
        };
        EXPECT_EQ(Rufe(mit({"--pruefen", "--ziel", f.ziel, "--quelle", f.quelle})), f.gefunden ? 0 : 2) << fehler.str();
        EXPECT_EQ(Rufe(mit({"--wiederherstellen", "--ziel", f.ziel, "--quelle", f.quelle, "--nach", nach.string()})),
                  f.gefunden ? 0 : 2)
            << fehler.str();
        if (!f.gefunden) {
            EXPECT_NE(fehler.str().find("keine Sicherung der Quelle"), std::string::npos) << fehler.str();
            EXPECT_NE(fehler.str().find(f.hinweis), std::string::npos) << fehler.str();
            EXPECT_FALSE(fs::exists(nach));
            // The listing of the source finds none either, and says the same of a gone source.
            aus.str("");
            EXPECT_EQ(Rufe(mit({"--liste", "--ziel", f.ziel, "--quelle", f.quelle})), 0);
            EXPECT_NE(aus.str().find("Keine Sicherungen dieser Quelle"), std::string::npos) << aus.str();
            EXPECT_NE(aus.str().find(f.hinweis), std::string::npos) << aus.str();
            continue;
        }
        EXPECT_EQ(Unterschiede(soll, Schnappe(nach)), "");
        // The listing of the whole target names the source as it is asked for today, and the listing of the source
        // holds its backup.
        aus.str("");
        EXPECT_EQ(Rufe({"--liste", "--ziel", f.ziel}), 0);
        const std::string gelistet = "  " + (f.gelistet.empty() ? std::string(f.quelle) : f.gelistet) + "  ";
        EXPECT_NE(aus.str().find(gelistet), std::string::npos) << aus.str();
        aus.str("");
        EXPECT_EQ(Rufe(mit({"--liste", "--ziel", f.ziel, "--quelle", f.quelle})), 0);
        EXPECT_NE(aus.str().find(gelistet), std::string::npos) << aus.str();
        if (!f.quelleDa)
            continue;
        // The target still holds the source's present state: a run finds nothing to back up.
        const auto vorher = std::distance(fs::directory_iterator(temp / "D" / "Backup"), fs::directory_iterator());
        ++uhr.sekunde;
        EXPECT_EQ(Rufe({"--quelle", f.quelle, "--ziel", f.ziel}), 0) << fehler.str();
        EXPECT_EQ(std::distance(fs::directory_iterator(temp / "D" / "Backup"), fs::directory_iterator()), vorher)
            << aus.str();
    }
}

} // namespace
} // namespace tresor::test
