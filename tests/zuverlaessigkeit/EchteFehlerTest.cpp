// Real faults on real file systems, met by the command-line program: a target that fills up in the middle
// of a run, a target and a source mounted read-only (loop-mounted ext4 images that the tests mount
// themselves), files and folders that the running user may not read (the program runs as the unprivileged
// user 65534). A fault of the target ends the run with the platform's error report naming the path and the
// reason (exit status 1); a fault of one source entry fails that entry's check, the run goes on and names it
// at its end (exit status 1). Nothing is lost: what was not backed up keeps its archive bit, and no partial
// copy carries a real name.

#include "tests/Testhilfen.h"
#include "tests/zuverlaessigkeit/Bestand.h"
#include "tests/zuverlaessigkeit/Programm.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <random>
#include <set>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;

class EchteFehler : public ::testing::Test {
protected:
    EchteFehler() : programm(temp.Pfad()) {}

    void SetUp() override { Berichte("fehler", 1); }

    static std::string Zufallsinhalt(std::size_t groesse, unsigned saat) {
        std::mt19937_64 z(saat);
        std::string s(groesse, '\0');
        for (auto& c : s)
            c = static_cast<char>(z());
        return s;
    }

    // The backups below `ziel` hold nothing that differs from the source (which does not change here),
    // every file whose archive bit reads clear has its copy, and no copy is left half written.
    void PruefeOhneVerlust(const fs::path& quelle, const fs::path& ziel) {
        const auto vorlage = Bestand(quelle.string());
        std::vector<Sicherungsstand> staende;
        if (fs::exists(ziel))
            for (const auto& e : fs::directory_iterator(ziel))
                if (e.path().filename().string().starts_with("Sicherung-"))
                    staende.push_back({(e.path() / quelle.relative_path()).string(),
                                       [&vorlage](const std::string& rel) -> std::optional<Inhalt> {
                                           const auto it = vorlage.find(rel);
                                           return it == vorlage.end() ? std::nullopt
                                                                      : std::optional<Inhalt>(it->second);
                                       }});
        const Verluste v = PruefeSicherungen(quelle.string(), staende, false);
        for (const auto& m : v.Meldungen)
            ADD_FAILURE() << m;
        Berichte("verlust", v.Anzahl);
    }

    static void PruefeBericht(const Programmende& ende, const std::string& operation, const std::string& pfadteil,
                              const std::string& grund) {
        EXPECT_EQ(ende.Status, 1) << ende.Aus << ende.Fehler;
        EXPECT_NE(ende.Fehler.find("Der Vorgang " + operation + " ist fehlgeschlagen.\nPfad: "), std::string::npos)
            << ende.Fehler;
        EXPECT_NE(ende.Fehler.find(pfadteil), std::string::npos) << ende.Fehler;
        EXPECT_NE(ende.Fehler.find("\nGrund: " + grund + "\n"), std::string::npos) << ende.Fehler;
    }

    // The run went to its end and named the source entry with its reason among the files not backed up.
    static void PruefeEintrag(const Programmende& ende, const fs::path& eintrag, const std::string& grund) {
        EXPECT_EQ(ende.Status, 1) << ende.Aus << ende.Fehler;
        EXPECT_EQ(ende.Fehler.find("Der Vorgang"), std::string::npos) << ende.Fehler;
        EXPECT_NE(ende.Fehler.find("Nicht gesichert: " + eintrag.string() + " (" + grund + ")\n"), std::string::npos)
            << ende.Fehler;
    }

    TempOrdner temp;
    Programm programm;
};

TEST_F(EchteFehler, ATargetThatFillsUpInTheMiddleOfARun) {
    Abbild abbild(temp / "voll.img", temp / "voll", 8);
    if (!abbild.Bereit() || !abbild.Einhaengen())
        GTEST_SKIP() << abbild.Grund();
    const fs::path quelle = temp / "quelle";
    for (int i = 0; i < 12; ++i)
        SchreibeDatei(quelle / ("datei" + std::to_string(10 + i)), Zufallsinhalt(1 << 20, static_cast<unsigned>(i)));

    const Programmende ende = programm.Sichere(quelle.string(), abbild.Punkt().string());
    PruefeBericht(ende, "Copy", "datei", "Datenträger voll");
    PruefeOhneVerlust(quelle, abbild.Punkt());
    // The copies made before the disk was full were never made durable: every file is still to be backed up.
    for (const auto& e : fs::directory_iterator(quelle))
        EXPECT_TRUE(ArchivGesetzt(e.path().string())) << e.path();
    EXPECT_TRUE(Reste(abbild.Punkt().string()).empty());
}

TEST_F(EchteFehler, ATargetMountedReadOnly) {
    Abbild abbild(temp / "nurlesen.img", temp / "nurlesen", 8);
    if (!abbild.Bereit() || !abbild.Einhaengen(true))
        GTEST_SKIP() << abbild.Grund();
    const fs::path quelle = temp / "quelle";
    SchreibeDatei(quelle / "a", "a");
    SchreibeDatei(quelle / "b" / "c", "c");

    const Programmende ende = programm.Sichere(quelle.string(), abbild.Punkt().string());
    PruefeBericht(ende, "MakeDir", "Sicherung-", "Schreibgeschütztes Dateisystem");
    EXPECT_TRUE(ArchivGesetzt((quelle / "a").string()));
    EXPECT_TRUE(ArchivGesetzt((quelle / "b" / "c").string()));
    PruefeOhneVerlust(quelle, abbild.Punkt());
}

TEST_F(EchteFehler, ASourceMountedReadOnlyCannotRecordItsBackup) {
    Abbild abbild(temp / "quelle.img", temp / "quelle", 8);
    if (!abbild.Bereit() || !abbild.Einhaengen())
        GTEST_SKIP() << abbild.Grund();
    SchreibeDatei(abbild.Punkt() / "daten" / "a", "a");
    SchreibeDatei(abbild.Punkt() / "daten" / "b", "b");
    abbild.Aushaengen();
    ASSERT_TRUE(abbild.Einhaengen(true)) << abbild.Grund();
    const fs::path quelle = abbild.Punkt() / "daten";
    const fs::path ziel = temp / "ziel";
    fs::create_directories(ziel);

    // The record of each file cannot be written: each file fails its check, named with the reason.
    const Programmende ende = programm.Sichere(quelle.string(), ziel.string());
    PruefeEintrag(ende, quelle / "a", "Archivvermerk nicht schreibbar: Schreibgeschütztes Dateisystem");
    PruefeEintrag(ende, quelle / "b", "Archivvermerk nicht schreibbar: Schreibgeschütztes Dateisystem");
    EXPECT_TRUE(ArchivGesetzt((quelle / "a").string()));
    EXPECT_TRUE(ArchivGesetzt((quelle / "b").string()));
    PruefeOhneVerlust(quelle, ziel);
}

// Runs as the unprivileged user: the source and the target belong to that user.
class OhneRechte : public EchteFehler {
protected:
    void SetUp() override {
        EchteFehler::SetUp();
        if (::geteuid() != 0)
            GTEST_SKIP() << "Nur root kann das Programm als anderer Benutzer starten";
        fs::permissions(temp.Pfad(), fs::perms(0755));
        SchreibeDatei(quelle / "a", "a");
        SchreibeDatei(quelle / "m" / "b", "b");
        SchreibeDatei(quelle / "z" / "c", "c");
        fs::create_directories(ziel);
        for (const auto& p :
             {quelle, ziel, quelle / "a", quelle / "m", quelle / "m" / "b", quelle / "z", quelle / "z" / "c"})
            ASSERT_EQ(::lchown(p.c_str(), 65534, 65534), 0) << p;
    }

    fs::path quelle = temp / "quelle";
    fs::path ziel = temp / "ziel";
};

TEST_F(OhneRechte, AFileWithoutReadPermission) {
    fs::permissions(quelle / "m" / "b", fs::perms(0200));
    const Programmende ende = programm.Sichere(quelle.string(), ziel.string(), true);
    PruefeEintrag(ende, quelle / "m" / "b", "Zugriff verweigert");
    EXPECT_TRUE(ArchivGesetzt((quelle / "m" / "b").string()));
    // The rest of the tree is backed up.
    EXPECT_FALSE(ArchivGesetzt((quelle / "z" / "c").string()));
    EXPECT_TRUE(Reste(ziel.string()).empty());
    PruefeOhneVerlust(quelle, ziel);
}

TEST_F(OhneRechte, AFolderWithoutAccess) {
    fs::permissions(quelle / "m", fs::perms(0));
    const Programmende ende = programm.Sichere(quelle.string(), ziel.string(), true);
    PruefeEintrag(ende, quelle / "m", "Zugriff verweigert");
    fs::permissions(quelle / "m", fs::perms(0755));
    EXPECT_TRUE(ArchivGesetzt((quelle / "m" / "b").string()));
    EXPECT_FALSE(ArchivGesetzt((quelle / "z" / "c").string()));
    PruefeOhneVerlust(quelle, ziel);
}

// A thinning run by the user leaves what the user may not remove (a folder of root's in an old backup), names
// it, and the point that stays is complete.
TEST_F(OhneRechte, AThinningLeavesWhatTheUserMayNotRemoveAndNamesIt) {
    std::vector<std::string> staende;
    for (int lauf = 0; lauf < 3; ++lauf) {
        SchreibeDatei(quelle / "a", "a" + std::to_string(lauf));
        ASSERT_EQ(::lchown((quelle / "a").c_str(), 65534, 65534), 0);
        const Programmende ende = programm.Sichere(quelle.string(), ziel.string(), true);
        ASSERT_EQ(ende.Status, 0) << ende.Aus << ende.Fehler;
        std::set<std::string> namen;
        for (const auto& e : fs::directory_iterator(ziel))
            namen.insert(e.path().filename().string());
        staende.push_back(*namen.rbegin());
    }
    // Root's folder in the oldest backup: the user can remove neither it nor what is in it.
    const fs::path fremd = ziel / staende[0] / quelle.relative_path() / "fremd";
    SchreibeDatei(fremd / "f", "von root");
    const std::string programm_ = (temp / "tresor-ix").string();
    std::string ausgabe;
    EXPECT_EQ(Fuehre({"sh", "-c",
                      "setpriv --reuid=65534 --regid=65534 --clear-groups " + programm_ + " --aufraeumen --ziel " +
                          ziel.string() + " --quelle " + quelle.string() + " --behalte-letzte 1 2>&1"},
                     &ausgabe),
              1);
    EXPECT_NE(ausgabe.find("Bleibt: " + staende[0] + "/"), std::string::npos) << ausgabe;
    EXPECT_NE(ausgabe.find("fremd"), std::string::npos) << ausgabe;
    EXPECT_EQ(LiesDatei(fremd / "f"), "von root");
    EXPECT_FALSE(fs::exists(ziel / staende[1]));
    // The copies the newest point needed from the oldest were moved before anything was removed.
    EXPECT_EQ(Fuehre({"sh", "-c",
                      TRESOR_PROGRAMM + std::string(" --pruefen --ziel ") + ziel.string() + " --quelle " +
                          quelle.string() + " 2>&1"},
                     &ausgabe),
              0)
        << ausgabe;
}

// A restore by the user, of a point whose record gives a folder bits without its owner's search bit (here the
// folder was made private and backed up by root, and its mirror in the backup opened to its owner again): that
// folder waits for the end, so that a later name of a hard-link group whose first name lies in it is still
// linked to it.
TEST_F(OhneRechte, ARestoreLinksTheLaterNamesOfAGroupToAFirstInAFolderThatShutsItsOwnerOut) {
    fs::create_hard_link(quelle / "m" / "b", quelle / "z" / "zweiter-name");
    ASSERT_EQ(programm.Sichere(quelle.string(), ziel.string(), true).Status, 0);
    fs::permissions(quelle / "m", fs::perms(0600));
    const Programmende ende = programm.Sichere(quelle.string(), ziel.string(), false);
    ASSERT_EQ(ende.Status, 0) << ende.Aus << ende.Fehler;
    // The target is the user's.
    std::set<std::string> namen;
    for (const auto& e : fs::recursive_directory_iterator(ziel)) {
        ASSERT_EQ(::lchown(e.path().c_str(), 65534, 65534), 0) << e.path();
        if (e.path().parent_path() == ziel)
            namen.insert(e.path().filename().string());
    }
    ASSERT_EQ(namen.size(), 2u);
    fs::permissions(ziel / *namen.rbegin() / quelle.relative_path() / "m", fs::perms(0700));
    const fs::path platz = temp / "platz";
    fs::create_directories(platz);
    ASSERT_EQ(::lchown(platz.c_str(), 65534, 65534), 0);
    std::string ausgabe;
    EXPECT_EQ(Fuehre({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", (temp / "tresor-ix").string(),
                      "--wiederherstellen", "--ziel", ziel.string(), "--quelle", quelle.string(), "--nach",
                      (platz / "wieder").string()},
                     &ausgabe),
              0)
        << ausgabe;
    const fs::path wieder = platz / "wieder";
    struct stat m {};
    struct stat q {};
    ASSERT_EQ(::stat((wieder / "m").c_str(), &m), 0);
    ASSERT_EQ(::stat((quelle / "m").c_str(), &q), 0);
    EXPECT_EQ(m.st_mode & 07777, 0600U);
    EXPECT_EQ(m.st_mtim.tv_sec, q.st_mtim.tv_sec);
    EXPECT_EQ(m.st_mtim.tv_nsec, q.st_mtim.tv_nsec);
    EXPECT_TRUE(fs::equivalent(wieder / "m" / "b", wieder / "z" / "zweiter-name"));
    EXPECT_EQ(LiesDatei(wieder / "z" / "zweiter-name"), "b");
}

// Reading leaves every access time as it was: a backup reads the source's changed files, a check and a restore
// read every copy, as root and as a user; the user's read of copies that are not the user's own takes the
// usual way and still works.
TEST_F(OhneRechte, ReadingLeavesTheAccessTimesOfSourceAndCopiesAlone) {
    const timespec alt = {1577836800, 0}; // 2020-01-01, older than the day after which any read would renew it
    auto altern = [&](const fs::path& wurzel) {
        for (const auto& e : fs::recursive_directory_iterator(wurzel))
            if (e.is_regular_file()) {
                const timespec zeiten[2] = {alt, {0, UTIME_OMIT}};
                ASSERT_EQ(::utimensat(AT_FDCWD, e.path().c_str(), zeiten, AT_SYMLINK_NOFOLLOW), 0) << e.path();
            }
    };
    auto unberuehrt = [&](const fs::path& wurzel) {
        int dateien = 0;
        for (const auto& e : fs::recursive_directory_iterator(wurzel))
            if (e.is_regular_file() && e.path().filename() != "tresor-ix-bestand.txt") {
                struct stat st {};
                ASSERT_EQ(::stat(e.path().c_str(), &st), 0);
                EXPECT_EQ(st.st_atim.tv_sec, alt.tv_sec) << e.path();
                ++dateien;
            }
        EXPECT_GE(dateien, 3) << wurzel;
    };
    // Where the file system keeps no access times, there is nothing to see.
    altern(quelle);
    (void)LiesDatei(quelle / "a");
    struct stat probe {};
    ASSERT_EQ(::stat((quelle / "a").c_str(), &probe), 0);
    if (probe.st_atim.tv_sec == alt.tv_sec)
        GTEST_SKIP() << "Das Dateisystem von " << temp.Pfad() << " schreibt keine Zugriffszeiten";

    const std::string programm_ = TRESOR_PROGRAMM;
    const std::string niemand = (temp / "tresor-ix").string(); // the copy Sichere(..., true) leaves
    const std::string punkt = "--ziel " + ziel.string() + " --quelle " + quelle.string();
    struct Fall {
        const char* name;
        std::function<int()> lauf;
        fs::path gelesen;
    };
    const std::vector<Fall> faelle = {
        {"a backup as the user", [&] { return programm.Sichere(quelle.string(), ziel.string(), true).Status; }, quelle},
        {"a backup as root",
         [&] {
             SchreibeDatei(quelle / "z" / "c", "c2");
             altern(quelle);
             return programm.Sichere(quelle.string(), ziel.string()).Status;
         },
         quelle},
        {"a check as root",
         [&] {
             return Fuehre({"sh", "-c", programm_ + " --pruefen " + punkt});
         },
         ziel},
        {"a restore as root",
         [&] {
             return Fuehre(
                 {"sh", "-c", programm_ + " --wiederherstellen " + punkt + " --nach " + (temp / "w1").string()});
         },
         ziel},
        {"a check as the user of copies that are root's",
         [&] {
             // The first point, the user's own run: its copies become root's, its record stays the user's.
             std::set<fs::path> punkte;
             for (const auto& e : fs::directory_iterator(ziel))
                 punkte.insert(e.path());
             const fs::path erster = *punkte.begin();
             for (const auto& e : fs::recursive_directory_iterator(erster))
                 if (e.is_regular_file() && e.path().filename() != "tresor-ix-bestand.txt") {
                     EXPECT_EQ(::lchown(e.path().c_str(), 0, 0), 0);
                 }
             return Fuehre({"sh", "-c",
                            "setpriv --reuid=65534 --regid=65534 --clear-groups " + niemand + " --pruefen " + punkt +
                                " --stand " + erster.filename().string().substr(10)});
         },
         fs::path()},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.name);
        altern(quelle);
        altern(ziel);
        EXPECT_EQ(f.lauf(), 0);
        if (!f.gelesen.empty())
            unberuehrt(f.gelesen);
    }
}

// A stick another user touched: one of its backup folders (or its record, or a folder inside it) this user may not
// read. A run as the user passes that folder over as one whose blocks no longer read, names it with the reason and
// ends with exit status 1; what lay only there it copies again, so that its own point is whole without that folder.
TEST_F(OhneRechte, ABackupFolderTheUserMayNotReadIsPassedOverAndNamed) {
    enum class Sperre { Ordner, Bestandsliste, Unterordner };
    struct Fall {
        const char* name;
        int punkt; // the backup shut: 1 the oldest, 3 the newest
        Sperre sperre;
        bool aendern; // a file of the source changed before the run
        const char* grund;
        const char* nurDort; // a file whose only copy lies there
    };
    const std::string ordnerGrund = "Der Sicherungsordner ist nicht lesbar: Zugriff verweigert";
    const std::vector<Fall> faelle = {
        {"folder in the middle", 2, Sperre::Ordner, true, ordnerGrund.c_str(), "m/b"},
        {"newest folder", 3, Sperre::Ordner, true, ordnerGrund.c_str(), "z/c"},
        {"folder inside the middle one", 2, Sperre::Unterordner, true, ordnerGrund.c_str(), "m/b"},
        {"newest record", 3, Sperre::Bestandsliste, true, "Die Bestandsliste ist nicht lesbar: Zugriff verweigert",
         "z/c"},
        // Nothing to back up but what lay only in the folder passed over.
        {"folder in the middle, nothing changed", 2, Sperre::Ordner, false, ordnerGrund.c_str(), "m/b"},
        {"oldest folder, nothing changed", 1, Sperre::Ordner, false, ordnerGrund.c_str(), "a"},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.name);
        const fs::path fall = temp / ("fall" + std::to_string(&f - faelle.data()));
        const fs::path q = fall / "quelle";
        const fs::path z = fall / "ziel";
        fs::create_directories(z);
        const auto schreibe = [&](const std::string& relativ, const std::string& inhalt) {
            SchreibeDatei(q / relativ, inhalt);
            for (fs::path p = q / relativ; p != fall; p = p.parent_path())
                ASSERT_EQ(::lchown(p.c_str(), 65534, 65534), 0) << p;
        };
        ASSERT_EQ(::lchown(z.c_str(), 65534, 65534), 0);
        std::vector<std::string> punkte;
        const auto sichere = [&] {
            std::set<std::string> vorher;
            for (const auto& e : fs::directory_iterator(z))
                vorher.insert(e.path().filename().string());
            const Programmende ende = programm.Sichere(q.string(), z.string(), true);
            for (const auto& e : fs::directory_iterator(z))
                if (!vorher.contains(e.path().filename().string()))
                    punkte.push_back(e.path().filename().string());
            return ende;
        };
        schreibe("a", "a");
        schreibe("m/b", "b1");
        schreibe("z/c", "c1");
        ASSERT_EQ(sichere().Status, 0);
        schreibe("m/b", "b2");
        ASSERT_EQ(sichere().Status, 0);
        schreibe("z/c", "c2");
        ASSERT_EQ(sichere().Status, 0);
        ASSERT_EQ(punkte.size(), 3U);
        const std::string gesperrt = punkte[static_cast<std::size_t>(f.punkt - 1)];
        const fs::path ordner = z / gesperrt;
        const fs::path zu = f.sperre == Sperre::Ordner          ? ordner
                            : f.sperre == Sperre::Bestandsliste ? ordner / "tresor-ix-bestand.txt"
                                                                : ordner / q.relative_path() / "m";
        fs::permissions(zu, fs::perms(0));
        if (f.aendern)
            schreibe("neu", "neu");
        const Programmende ende = sichere();
        fs::permissions(zu, f.sperre == Sperre::Bestandsliste ? fs::perms(0644) : fs::perms(0755));
        EXPECT_EQ(ende.Status, 1) << ende.Aus << ende.Fehler;
        EXPECT_EQ(ende.Fehler.find("Der Vorgang"), std::string::npos) << ende.Fehler;
        EXPECT_NE((ende.Aus + ende.Fehler).find(gesperrt + ": " + f.grund), std::string::npos)
            << ende.Aus << ende.Fehler;
        if (punkte.size() != 4) {
            ADD_FAILURE() << "no new backup folder\n" << ende.Aus << ende.Fehler;
            continue;
        }
        EXPECT_EQ(LiesDatei(z / punkte[3] / q.relative_path() / f.nurDort), LiesDatei(q / f.nurDort));
    }
}

// The same folder shut to the user: the listing, the check and the restore of another point, and a thinning go on,
// and the thinning keeps that folder and every point before it.
TEST_F(OhneRechte, TheOtherCommandsGoOnPastABackupFolderTheUserMayNotRead) {
    std::vector<std::string> punkte;
    for (int lauf = 0; lauf < 3; ++lauf) {
        SchreibeDatei(quelle / "m" / "b", "b" + std::to_string(lauf));
        ASSERT_EQ(::lchown((quelle / "m" / "b").c_str(), 65534, 65534), 0);
        std::set<std::string> vorher(punkte.begin(), punkte.end());
        ASSERT_EQ(programm.Sichere(quelle.string(), ziel.string(), true).Status, 0);
        for (const auto& e : fs::directory_iterator(ziel))
            if (!vorher.contains(e.path().filename().string()))
                punkte.push_back(e.path().filename().string());
    }
    ASSERT_EQ(punkte.size(), 3U);
    fs::permissions(ziel / punkte[1], fs::perms(0));
    const std::string niemand = "setpriv --reuid=65534 --regid=65534 --clear-groups " + (temp / "tresor-ix").string();
    const std::string wo = " --ziel " + ziel.string() + " --quelle " + quelle.string();
    const fs::path nach = temp / "nach";
    fs::create_directories(nach);
    ASSERT_EQ(::lchown(nach.c_str(), 65534, 65534), 0);
    struct Fall {
        std::string argumente;
        int status;
        std::vector<std::string> genannt;
    };
    const std::vector<Fall> faelle = {
        {"--liste" + wo, 0, {punkte[0].substr(10) + "  ", punkte[2].substr(10) + "  "}},
        {"--pruefen" + wo + " --stand " + punkte[0].substr(10), 0, {}},
        {"--wiederherstellen" + wo + " --stand " + punkte[0].substr(10) + " --nach " + (nach / "w").string(), 0, {}},
        {"--aufraeumen" + wo + " --behalte-letzte 1",
         1,
         {"Bleibt: " + punkte[1] + ": Der Sicherungsordner ist nicht lesbar: Zugriff verweigert."}},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.argumente);
        std::string ausgabe;
        EXPECT_EQ(Fuehre({"sh", "-c", niemand + " " + f.argumente + " 2>&1"}, &ausgabe), f.status) << ausgabe;
        for (const std::string& text : f.genannt)
            EXPECT_NE(ausgabe.find(text), std::string::npos) << ausgabe;
    }
    EXPECT_EQ(LiesDatei(nach / "w" / "m" / "b"), "b0");
    for (const std::string& p : punkte)
        EXPECT_TRUE(fs::exists(ziel / p)) << p;
}

// What a run as a user could not back up is in its record with the reason; the listing calls the point
// incomplete, the check fails naming it, and the next run, able to read it, completes the point.
TEST_F(OhneRechte, WhatARunCouldNotBackUpIsNamedByItsRecordTheListingAndTheCheck) {
    struct Fall {
        const char* name;
        fs::path eintrag;
        fs::perms rechte;
        std::string relativ;
    };
    const std::vector<Fall> faelle = {
        {"a folder without access", quelle / "m", fs::perms(0), "m"},
        {"a file without read permission", quelle / "m" / "b", fs::perms(0200), "m/b"},
    };
    const std::string programm_ = TRESOR_PROGRAMM;
    auto ordner = [&] {
        std::set<std::string> namen;
        for (const auto& e : fs::directory_iterator(ziel))
            namen.insert(e.path().filename().string());
        return namen;
    };
    auto rufe = [&](const std::string& argumente, std::string& ausgabe) {
        return Fuehre({"sh", "-c", programm_ + " " + argumente + " 2>&1"}, &ausgabe);
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.name);
        // Changed since the last run, so that the run has to back it up.
        SchreibeDatei(quelle / "m" / "b", std::string("b ") + f.name);
        ASSERT_EQ(::lchown((quelle / "m" / "b").c_str(), 65534, 65534), 0);
        fs::permissions(f.eintrag, f.rechte);
        const auto vorher = ordner();
        const Programmende ende = programm.Sichere(quelle.string(), ziel.string(), true);
        fs::permissions(f.eintrag, fs::perms(0755));
        EXPECT_EQ(ende.Status, 1) << ende.Aus << ende.Fehler;
        std::string neu;
        for (const auto& n : ordner())
            if (!vorher.contains(n))
                neu = n;
        ASSERT_FALSE(neu.empty());
        const std::string text = LiesDatei(ziel / neu / "tresor-ix-bestand.txt");
        EXPECT_NE(text.find("\nX " + f.relativ + " Zugriff%20verweigert\n"), std::string::npos) << text;
        std::string ausgabe;
        EXPECT_EQ(rufe("--liste --ziel " + ziel.string() + " --quelle " + quelle.string(), ausgabe), 0);
        EXPECT_NE(ausgabe.find(neu.substr(10) + "  "), std::string::npos) << ausgabe;
        EXPECT_NE(ausgabe.find("unvollständig (1 fehlen)\n"), std::string::npos) << ausgabe;
        EXPECT_EQ(
            rufe("--pruefen --ziel " + ziel.string() + " --quelle " + quelle.string() + " --stand " + neu.substr(10),
                 ausgabe),
            1);
        EXPECT_NE(ausgabe.find("Nicht gesichert: " + f.relativ + ": Zugriff verweigert\n"), std::string::npos)
            << ausgabe;
        // The next run, able to read it, backs it up and its point is complete.
        const Programmende danach = programm.Sichere(quelle.string(), ziel.string(), true);
        EXPECT_EQ(danach.Status, 0) << danach.Aus << danach.Fehler;
        EXPECT_EQ(rufe("--pruefen --ziel " + ziel.string() + " --quelle " + quelle.string(), ausgabe), 0) << ausgabe;
    }
}

} // namespace
} // namespace tresor::test
