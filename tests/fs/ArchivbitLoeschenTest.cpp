// Clearing the archive bit of a copied file: the object's own way (one look at the file through one descriptor)
// against the general way (Attributes, then SetFileAttr), on files alike, each copied first by the object that
// marks it.

#include "tests/fs/FsTestbasis.h"

#include "fs/ablage/Archivvermerk.h"

#include <functional>

namespace tresor::test {
namespace {

using Pfadschritt = std::function<void(const std::filesystem::path& datei)>;

struct Fall {
    const char* Name;
    const char* Datei;   // the file's name in its folder
    Pfadschritt Vorher;  // before the copy (the file is written with "Inhalt" already)
    Pfadschritt Nachher; // between the copy and the clearing of the bit
    bool Gesetzt;        // the bit read set, and the record was written
    int WertDanach;      // the value a fresh object reads once the batch is written
};

// What one way left: its answer, the value read afterwards, and the file's mode and user.DOSATTRIB.
struct Ergebnis {
    bool Gesetzt = false;
    std::optional<bool> Geloescht;
    bool DanachStimmt = false; // the state returned is the file's state now (or none was returned)
    int Wert = -1;
    mode_t Modus = 0;
    std::optional<std::string> Dos;
};

class ArchivbitLoeschen : public FsTest {
protected:
    // Each row in a folder of its own: the record of a folder's links and files of several names is written once
    // every one of them is marked.
    Ergebnis Loesche(const Fall& fall, bool eigenerWeg) {
        const std::string ordner = std::string(eigenerWeg ? "eigen-" : "allgemein-") + fall.Datei;
        const std::filesystem::path datei = C(ordner + "/" + fall.Datei);
        const Pfad pfad = "C:\\" + ordner + "\\" + fall.Datei;
        SchreibeDatei(datei, "Inhalt");
        if (fall.Vorher)
            fall.Vorher(datei);
        std::filesystem::create_directories(D(ordner));
        auto objekt = ErzeugePosixDateisystem(tabelle);
        const Quellstand stand = objekt->Copy({pfad, fall.Datei}, "D:\\" + ordner + "\\" + fall.Datei);
        if (fall.Nachher)
            fall.Nachher(datei);
        Ergebnis e;
        const Archivloeschung l = eigenerWeg ? objekt->ArchivbitLoeschen({pfad, fall.Datei}, stand)
                                             : objekt->Dateisystem::ArchivbitLoeschen({pfad, fall.Datei}, stand);
        objekt->Festschreiben();
        e.Gesetzt = l.Gesetzt;
        e.Geloescht = l.Geloescht;
        struct stat st {};
        EXPECT_EQ(::lstat(datei.c_str(), &st), 0);
        e.DanachStimmt = !l.Danach.Gueltig || posix::Gleich(l.Danach, posix::StandAus(st));
        e.Wert = ErzeugePosixDateisystem(tabelle)->Attributes({pfad, fall.Datei});
        e.Modus = Modus(datei);
        e.Dos = Xattr(datei, "user.DOSATTRIB");
        return e;
    }
};

TEST_F(ArchivbitLoeschen, OneLookAtTheFileClearsTheBitAsAttributesAndSetFileAttrDo) {
    const Fall faelle[] = {
        {"neu", "a.txt", nullptr, nullptr, true, 0},
        {"versteckt, System und Archiv in user.DOSATTRIB", "b.txt",
         [](const std::filesystem::path& d) { SetzeDosattrib(d, attr::Versteckt | attr::System | attr::Archiv); },
         nullptr, true, attr::Versteckt | attr::System},
        {"schreibgeschützt", "c.txt",
         [](const std::filesystem::path& d) { std::filesystem::permissions(d, std::filesystem::perms(0444)); }, nullptr,
         true, attr::Schreibgeschuetzt},
        {"Punktname", ".d", nullptr, nullptr, true, attr::Versteckt},
        {"nach der Kopie umgeschrieben", "e.txt", nullptr,
         [](const std::filesystem::path& d) { SchreibeDatei(d, "anderer und längerer Inhalt"); }, true, attr::Archiv},
        {"nach der Kopie durch eine andere Datei ersetzt", "f.txt", nullptr,
         [](const std::filesystem::path& d) {
             SchreibeDatei(d.string() + ".neu", "Inhalt");
             std::filesystem::rename(d.string() + ".neu", d);
         },
         true, attr::Archiv},
        {"nach der Kopie ein Verweis", "g.txt", nullptr,
         [](const std::filesystem::path& d) {
             std::filesystem::remove(d);
             std::filesystem::create_symlink("anderswo", d);
         },
         true, attr::Archiv},
        // user.DOSATTRIB written after the copy read it: the bits now are kept, and the file stays to be backed up.
        {"nach der Kopie versteckt", "i.txt", nullptr,
         [](const std::filesystem::path& d) { SetzeDosattrib(d, attr::Versteckt); }, true,
         attr::Versteckt | attr::Archiv},
        // Marked by another object after the copy: its record, written since, is read and holds the state now.
        {"nach der Kopie anderswo vermerkt", "j.txt", nullptr,
         [this](const std::filesystem::path& d) {
             auto anderes = ErzeugePosixDateisystem(tabelle);
             anderes->SetFileAttr("C:\\" + d.parent_path().filename().string() + "\\" + d.filename().string(), 0);
             anderes->Festschreiben();
         },
         false, 0},
        // The other name in another folder, so that this folder's record waits for no other entry.
        {"zwei Namen", "h.txt",
         [](const std::filesystem::path& d) {
             std::filesystem::create_hard_link(d, d.parent_path().string() + "-auch");
         },
         nullptr, true, 0},
    };
    for (const Fall& fall : faelle) {
        SCOPED_TRACE(fall.Name);
        const Ergebnis eigen = Loesche(fall, true);
        const Ergebnis allgemein = Loesche(fall, false);
        EXPECT_EQ(eigen.Gesetzt, fall.Gesetzt);
        EXPECT_EQ(eigen.Wert, fall.WertDanach);
        EXPECT_TRUE(eigen.DanachStimmt);
        // Where the object tells whether the bit reads clear, it tells what a look afterwards reads.
        if (eigen.Geloescht) {
            EXPECT_EQ(*eigen.Geloescht, eigen.Wert < attr::Archiv);
        }
        EXPECT_EQ(eigen.Gesetzt, allgemein.Gesetzt);
        EXPECT_EQ(eigen.Wert, allgemein.Wert);
        EXPECT_EQ(eigen.Modus, allgemein.Modus);
        EXPECT_EQ(eigen.Dos, allgemein.Dos);
        EXPECT_FALSE(allgemein.Geloescht);
    }
}

// A file whose record matches already (marked by an earlier object, then copied) gets no write: its ctime stays,
// so that the index of another target that holds this state still holds it.
TEST_F(ArchivbitLoeschen, AFileThatReadsClearIsNotWritten) {
    const std::filesystem::path datei = C("q/a.txt");
    SchreibeDatei(datei, "Inhalt");
    {
        auto frueher = ErzeugePosixDateisystem(tabelle);
        frueher->SetFileAttr("C:\\q\\a.txt", 0);
        frueher->Festschreiben();
    }
    std::filesystem::create_directories(D("q"));
    const Zustand vorher = ZustandVon(datei);
    const Quellstand stand = fs->Copy({"C:\\q\\a.txt", "a.txt"}, "D:\\q\\a.txt");
    const Archivloeschung l = fs->ArchivbitLoeschen({"C:\\q\\a.txt", "a.txt"}, stand);
    EXPECT_FALSE(l.Gesetzt);
    EXPECT_EQ(l.Geloescht, std::optional<bool>(true));
    EXPECT_EQ(ZustandVon(datei), vorher);
}

// A file gone between its copy and the clearing fails as Attributes fails.
TEST_F(ArchivbitLoeschen, AFileGoneSinceItsCopyFailsAsAttributes) {
    SchreibeDatei(C("q/a.txt"), "Inhalt");
    std::filesystem::create_directories(D("q"));
    const Quellstand stand = fs->Copy({"C:\\q\\a.txt", "a.txt"}, "D:\\q\\a.txt");
    std::filesystem::remove(C("q/a.txt"));
    try {
        (void)fs->ArchivbitLoeschen({"C:\\q\\a.txt", "a.txt"}, stand);
        ADD_FAILURE() << "no failure";
    } catch (const FsFehler& f) {
        EXPECT_EQ(f.Operation(), "Attributes");
        EXPECT_EQ(f.Ursache(), std::errc::no_such_file_or_directory);
    }
}

// As an ordinary user, through the object's own way: the user's own read-only file gets its record and stays
// read-only; root's file, which the user may read and copy but not mark, fails as SetFileAttr and gets none.
TEST_F(ArchivbitLoeschen, AnOrdinaryUserMarksOwnReadOnlyFilesAndNeverAnotherUsers) {
    struct Rechtefall {
        const char* Name;
        bool Eigene;  // the user's own file, else root's
        mode_t Modus; // the file's bits
        int Erwartet; // 0 cleared, 2 failed as SetFileAttr with EACCES
    };
    const Rechtefall faelle[] = {
        {"eigene, schreibgeschützt", true, 0440, 0},
        {"eigene, beschreibbar", true, 0640, 0},
        {"fremde, lesbar", false, 0644, 2},
    };
    FuerAlleBegehbar();
    std::filesystem::create_directories(D());
    ASSERT_EQ(::chown(D().c_str(), Niemand, Niemand), 0);
    for (const Rechtefall& f : faelle) {
        SCOPED_TRACE(f.Name);
        const std::string name = std::string(f.Eigene ? "eigen" : "fremd") + std::to_string(f.Modus);
        const std::filesystem::path datei = C(name + "/a.txt");
        SchreibeDatei(datei, "Inhalt");
        std::filesystem::permissions(C(name), std::filesystem::perms(0755));
        if (f.Eigene) {
            ASSERT_EQ(::chown(C(name).c_str(), Niemand, Niemand), 0);
            ASSERT_EQ(::chown(datei.c_str(), Niemand, Niemand), 0);
        }
        std::filesystem::permissions(datei, std::filesystem::perms(f.Modus));
        const Pfad pfad = "C:\\" + name + "\\a.txt";
        const auto status = AlsNiemand([&] {
            auto eigenes = ErzeugePosixDateisystem(tabelle);
            ::mkdir(D(name).c_str(), 0755);
            const Quellstand stand = eigenes->Copy({pfad, "a.txt"}, "D:\\" + name + "\\a.txt");
            try {
                const Archivloeschung l = eigenes->ArchivbitLoeschen({pfad, "a.txt"}, stand);
                eigenes->Festschreiben();
                return l.Gesetzt ? 0 : 3;
            } catch (const FsFehler& fehler) {
                return fehler.Operation() == "SetFileAttr" && fehler.Ursache().value() == EACCES ? 2 : 4;
            }
        });
        if (!status)
            GTEST_SKIP() << "needs root to run the subject as another user";
        EXPECT_EQ(*status, f.Erwartet);
        EXPECT_EQ(Modus(datei), f.Modus);
        // The record is there and matches the file but for the ctime its write gave (whether a fresh look reads
        // the bit clear then depends on the folder's map, written once the clock's step is over), or none.
        const auto vermerk = posix::LiesArchivvermerk(Xattr(datei, "user.tresor-ix.archiv").value_or(""));
        struct stat st {};
        ASSERT_EQ(::lstat(datei.c_str(), &st), 0);
        EXPECT_EQ(vermerk && posix::PasstBisAufCtime(*vermerk, st, vermerk->Name), f.Erwartet == 0);
    }
}

} // namespace
} // namespace tresor::test
