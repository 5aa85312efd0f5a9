// Faults injected through the wrapper of the file-system interface: input/output errors on reading and on
// writing, entries that vanish between the scan and the copy, files that change while they are copied.
// Each run ends as the program must end (the platform's error report for a fault of the target; for a fault
// of one source entry, that entry named with its reason and the failure message after the rest of the tree
// was backed up), nothing is lost, and the next run without the fault backs up what was left.

#include "fs/FsFehler.h"
#include "tests/zuverlaessigkeit/Laufumgebung.h"

#include <unistd.h>

#include <algorithm>

namespace tresor::test {
namespace {

class EingespeisteFehler : public Laufumgebung {
protected:
    void SetUp() override {
        for (const char* rel : {"a.txt", "b.txt", "c.txt", "sub/d.txt", "sub/e.txt"})
            SchreibeDatei(Q() / rel, std::string("Inhalt von ") + rel);
        Berichte("fehler", 1);
    }

    // The platform's error report on standard error, exit status 1, nothing lost, no partial copy; the
    // files in `behalten` still to be backed up. Then a run without the fault completes and leaves nothing.
    void PruefeFehlerende(int status, const std::string& operation, const std::string& pfad, const std::string& grund,
                          const std::vector<std::string>& behalten) {
        EXPECT_EQ(status, 1);
        EXPECT_EQ(fehler.str(),
                  "Der Vorgang " + operation + " ist fehlgeschlagen.\nPfad: " + pfad + "\nGrund: " + grund + "\n");
        PruefeOhneVerlust(behalten);
    }

    // The run went to its end: the source entry named with its reason, then the failure message; exit status
    // 1, nothing lost; every file but those in `behalten` backed up.
    void PruefeEintragsende(int status, const std::string& rel, const std::string& grund,
                            const std::vector<std::string>& behalten) {
        EXPECT_EQ(status, 1);
        EXPECT_EQ(fehler.str(), "Nicht gesichert: " + (Q() / rel).string() + " (" + grund +
                                    ")\nDie Sicherung wurde nicht korrekt durchgeführt ! \n");
        for (const auto& [datei, inhalt] : Bestand(Q().string())) {
            if (std::find(behalten.begin(), behalten.end(), datei) == behalten.end()) {
                EXPECT_FALSE(Archiv(datei)) << datei << " wurde nicht gesichert";
            }
        }
        PruefeOhneVerlust(behalten);
    }

    void PruefeOhneVerlust(const std::vector<std::string>& behalten) {
        const Verluste v = Pruefe();
        for (const auto& m : v.Meldungen)
            ADD_FAILURE() << m;
        Berichte("verlust", v.Anzahl);
        for (const auto& rel : behalten)
            EXPECT_TRUE(Archiv(rel)) << rel << " verlor sein Archivbit";

        Vorher({});
        nachKopie = {};
        EXPECT_EQ(Lauf(), 0) << fehler.str();
        const Verluste danach = Pruefe();
        for (const auto& m : danach.Meldungen)
            ADD_FAILURE() << "danach: " << m;
        Berichte("verlust", danach.Anzahl);
        for (const auto& [rel, inhalt] : Bestand(Q().string()))
            EXPECT_FALSE(Archiv(rel)) << rel << " wurde nicht nachgeholt";
    }

    // Makes the first operation whose record line starts with `anfang` fail with the error number.
    void Scheitere(const std::string& anfang, const std::string& operation, const Pfad& pfad, int nummer) {
        Vorher([=, einmal = std::make_shared<bool>(false)](const std::string& zeile) {
            if (!*einmal && zeile.starts_with(anfang)) {
                *einmal = true;
                throw FsFehler(operation, pfad, std::error_code(nummer, std::generic_category()));
            }
        });
    }
};

TEST_F(EingespeisteFehler, AnInputOutputErrorReadingASourceFile) {
    Scheitere("Copy C:\\Q\\b.txt ", "Copy", "C:\\Q\\b.txt", EIO);
    const int status = Lauf();
    // One unreadable file: its check fails, the rest of the tree is backed up.
    PruefeEintragsende(status, "b.txt", "Ein-/Ausgabefehler", {"b.txt"});
}

TEST_F(EingespeisteFehler, AnInputOutputErrorWritingACopy) {
    Scheitere("Copy C:\\Q\\sub\\d.txt ", "Copy", "D:\\Z\\x\\Q\\sub\\d.txt", EIO);
    const int status = Lauf();
    PruefeFehlerende(status, "Copy", "D:\\Z\\x\\Q\\sub\\d.txt", "Ein-/Ausgabefehler",
                     {"a.txt", "b.txt", "c.txt", "sub/d.txt", "sub/e.txt"});
}

TEST_F(EingespeisteFehler, AnInputOutputErrorFlushingTheTargetClearsNoArchiveBit) {
    Scheitere("Sync ", "Sync", "D:\\Z", EIO);
    const int status = Lauf();
    PruefeFehlerende(status, "Sync", "D:\\Z", "Ein-/Ausgabefehler",
                     {"a.txt", "b.txt", "c.txt", "sub/d.txt", "sub/e.txt"});
}

TEST_F(EingespeisteFehler, AnInputOutputErrorClearingAnArchiveBit) {
    Scheitere("SetFileAttr C:\\Q\\b.txt ", "SetFileAttr", "C:\\Q\\b.txt", EIO);
    const int status = Lauf();
    // The record of b.txt could not be written: b.txt stays to be backed up, the rest is backed up.
    PruefeEintragsende(status, "b.txt", "Archivvermerk nicht schreibbar: Ein-/Ausgabefehler", {"b.txt"});
}

TEST_F(EingespeisteFehler, AFileThatVanishesBetweenTheScanAndItsCopy) {
    Vorher([this](const std::string& zeile) {
        if (zeile == "GetFile C:\\Q\\b.txt")
            std::filesystem::remove(Q() / "b.txt");
    });
    const int status = Lauf();
    PruefeEintragsende(status, "b.txt", "nicht mehr vorhanden", {});
}

TEST_F(EingespeisteFehler, AFolderThatVanishesBetweenTheScanAndItsCopy) {
    bool kopiert = false;
    Vorher([this, &kopiert](const std::string& zeile) {
        kopiert = kopiert || zeile.starts_with("Copy ");
        // Moved away, not deleted: its files live on elsewhere and are no longer the backup's business.
        if (kopiert && zeile == "GetFolder C:\\Q\\sub")
            std::filesystem::rename(Q() / "sub", temp / "C" / "anderswo");
    });
    const int status = Lauf();
    PruefeEintragsende(status, "sub", "nicht mehr vorhanden", {});
}

TEST_F(EingespeisteFehler, AFileThatGrowsWhileItIsCopiedFailsItsCheckAndIsBackedUpAgain) {
    nachKopie = [this](const Datei& datei, const Pfad&) {
        if (datei.Path == "C:\\Q\\b.txt")
            SchreibeDatei(Q() / "b.txt", "Inhalt von b.txt und noch viel mehr");
    };
    EXPECT_EQ(Lauf(), 1);
    EXPECT_EQ(fehler.str(),
              "Nicht gesichert: " + (Q() / "b.txt").string() +
                  " (das Archivbit ist noch gesetzt)\nDie Sicherung wurde nicht korrekt durchgeführt ! \n");
    // The rest of the tree was backed up all the same.
    for (const char* rel : {"a.txt", "c.txt", "sub/d.txt", "sub/e.txt"})
        EXPECT_FALSE(Archiv(rel)) << rel;
    PruefeOhneVerlust({"b.txt"});
    EXPECT_EQ(LiesDatei(Z() / "Sicherung-2002-02-07--13-42-01" / "Q" / "b.txt"), "Inhalt von b.txt und noch viel mehr");
}

TEST_F(EingespeisteFehler, AFileThatShrinksWhileItIsCopiedFailsItsCheckAndIsBackedUpAgain) {
    nachKopie = [this](const Datei& datei, const Pfad&) {
        if (datei.Path == "C:\\Q\\sub\\d.txt")
            std::filesystem::resize_file(Q() / "sub" / "d.txt", 3);
    };
    EXPECT_EQ(Lauf(), 1);
    EXPECT_EQ(fehler.str(),
              "Nicht gesichert: " + (Q() / "sub" / "d.txt").string() +
                  " (das Archivbit ist noch gesetzt)\nDie Sicherung wurde nicht korrekt durchgeführt ! \n");
    PruefeOhneVerlust({"sub/d.txt"});
    EXPECT_EQ(LiesDatei(Z() / "Sicherung-2002-02-07--13-42-01" / "Q" / "sub" / "d.txt"), "Inh");
}

} // namespace
} // namespace tresor::test
