#include "tests/engine/Engineumgebung.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace tresor::test {
namespace {

class Ordnerkopie : public Engineumgebung {
protected:
    // Copies with a fresh, wrapped file-system object, as the run does.
    void Spiegele(const Pfad& quelle, const Pfad& ziel) {
        auto h = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke), &protokoll);
        h->vorher = vorher;
        h->nachKopie = nachKopie;
        h->attributfilter = attributfilter;
        sicherung.fso = std::move(h);
        sicherung.KopiereDateien(quelle, ziel);
        sicherung.fso.reset();
    }
    void SetUp() override { std::filesystem::create_directories(Posix("D:\\Ziel")); }
};

TEST_F(Ordnerkopie, MixedValuesInPlainAndHiddenFolders) {
    const std::vector<int> werte = {0, 1, 2, 4, 7, 32, 33, 34, 38};
    const std::vector<Pfad> ordner = {"C:\\Q", "C:\\Q\\Plain", "C:\\Q\\.versteckt", "C:\\Q\\.versteckt\\.tiefer"};
    for (const auto& o : ordner)
        for (int w : werte)
            Schreibe(o + "\\w" + std::to_string(w) + ".txt", o + std::to_string(w), w);

    Spiegele("C:\\Q", "D:\\Ziel\\Q");

    EXPECT_EQ(sicherung.tmp_fehler, "nein");
    for (const auto& o : ordner) {
        const Pfad z = "D:\\Ziel\\Q" + o.substr(4);
        EXPECT_TRUE(std::filesystem::is_directory(Posix(z))) << z;
        for (int w : werte) {
            const Pfad name = "\\w" + std::to_string(w) + ".txt";
            SCOPED_TRACE(o + name);
            EXPECT_EQ(Wert(o + name), w >= 32 ? w - 32 : w);
            if (w >= 32) {
                EXPECT_EQ(LiesDatei(Posix(z + name)), o + std::to_string(w));
                EXPECT_EQ(Wert(z + name), w); // bits carried, and the copy reads archive set
            } else {
                EXPECT_FALSE(Existiert(z + name));
            }
        }
    }
}

// One lookup per copy, with the mask that admits a file whatever its hidden and system bits (what the masks 0, 2,
// 4, 6 and 7 together admit).
TEST_F(Ordnerkopie, EachCopyLookedUpOnceWithTheMaskOfHiddenAndSystem) {
    Schreibe("C:\\Q\\a.txt", "a", 32);
    Spiegele("C:\\Q", "D:\\Ziel\\Q");
    std::vector<std::string> lookups;
    for (const auto& z : protokoll)
        if (z.rfind("Dir D:\\Ziel\\Q\\a.txt", 0) == 0)
            lookups.push_back(z.substr(z.rfind(' ') + 1));
    EXPECT_EQ(lookups, (std::vector<std::string>{"6"}));
}

// The copy changed behind the run's back at the moment of its lookup: a copy that is gone or is no file any more
// fails its check, and one that became hidden, system or both passes (the mask admits it).
TEST_F(Ordnerkopie, ACopyChangedAtItsLookupIsJudgedAsItIsAfterThatChange) {
    struct Fall {
        const char* Name;
        std::function<void(const std::filesystem::path& kopie)> Aendern;
        bool Besteht;
    };
    const Fall faelle[] = {
        {"entfernt", [](const std::filesystem::path& k) { std::filesystem::remove(k); }, false},
        {"Ordner",
         [](const std::filesystem::path& k) {
             std::filesystem::remove(k);
             std::filesystem::create_directory(k);
         },
         false},
        {"versteckt und System",
         [](const std::filesystem::path& k) { SetzeDosattrib(k, attr::Versteckt | attr::System); }, true},
        {"versteckt", [](const std::filesystem::path& k) { SetzeDosattrib(k, attr::Versteckt); }, true},
        {"System", [](const std::filesystem::path& k) { SetzeDosattrib(k, attr::System); }, true},
    };
    for (const Fall& fall : faelle) {
        SCOPED_TRACE(fall.Name);
        std::filesystem::remove_all(Posix("D:\\Ziel\\Q"));
        Schreibe("C:\\Q\\a.txt", "a", 32);
        sicherung.tmp_fehler = "nein";
        vorher = [&](const std::string& z) {
            if (z.starts_with("Dir D:\\Ziel\\Q\\a.txt "))
                fall.Aendern(Posix("D:\\Ziel\\Q\\a.txt"));
        };
        Spiegele("C:\\Q", "D:\\Ziel\\Q");
        vorher = nullptr;
        EXPECT_EQ(sicherung.tmp_fehler, fall.Besteht ? "nein" : "ja");
        EXPECT_EQ(Wert("C:\\Q\\a.txt"), 0); // marked before the lookup, and stays marked
    }
}

TEST_F(Ordnerkopie, ArchiveClearedOnlyAfterTheTargetWasFlushed) {
    Schreibe("C:\\Q\\a.txt", "a");
    Schreibe("C:\\Q\\B\\b.txt", "b");
    Spiegele("C:\\Q", "D:\\Ziel\\Q");
    std::size_t sync = protokoll.size(), erstesSetzen = protokoll.size(), letzteKopie = 0;
    for (std::size_t i = 0; i < protokoll.size(); ++i) {
        if (protokoll[i].rfind("Sync", 0) == 0 && sync == protokoll.size())
            sync = i;
        if (protokoll[i].rfind("SetFileAttr", 0) == 0 && erstesSetzen == protokoll.size())
            erstesSetzen = i;
        if (protokoll[i].rfind("Copy", 0) == 0)
            letzteKopie = i;
    }
    EXPECT_LT(letzteKopie, sync);
    EXPECT_LT(sync, erstesSetzen);
    EXPECT_EQ(Wert("C:\\Q\\B\\b.txt"), 0);
}

TEST_F(Ordnerkopie, WholeTreeMirroredEmptyFoldersIncluded) {
    std::filesystem::create_directories(Posix("C:\\Q\\leer\\noch leerer"));
    std::filesystem::create_directories(Posix("C:\\Q\\.leer"));
    Schreibe("C:\\Q\\alt\\alt.txt", "x", 0);
    Spiegele("C:\\Q", "D:\\Ziel\\Q");
    for (const Pfad p : {"D:\\Ziel\\Q\\leer\\noch leerer", "D:\\Ziel\\Q\\.leer", "D:\\Ziel\\Q\\alt"})
        EXPECT_TRUE(std::filesystem::is_directory(Posix(p))) << p;
    EXPECT_FALSE(Existiert("D:\\Ziel\\Q\\alt\\alt.txt"));
    // No destination ever carries a trailing or doubled backslash.
    for (const auto& z : protokoll)
        EXPECT_EQ(z.find("\\\\"), std::string::npos) << z;
}

TEST_F(Ordnerkopie, HiddenAndSystemFoldersMirroredUnderOwnNamesWithTheirBits) {
    // Two hidden folders side by side must not end up in one destination.
    Schreibe("C:\\Q\\.a\\f.txt", "aus a");
    Schreibe("C:\\Q\\.b\\f.txt", "aus b");
    Schreibe("C:\\Q\\Sys\\f.txt", "aus Sys");
    SetzeDosattrib(Posix("C:\\Q\\Sys"), attr::System | attr::Versteckt);
    Spiegele("C:\\Q", "D:\\Ziel\\Q");
    EXPECT_EQ(sicherung.tmp_fehler, "nein");
    EXPECT_EQ(LiesDatei(Posix("D:\\Ziel\\Q\\.a\\f.txt")), "aus a");
    EXPECT_EQ(LiesDatei(Posix("D:\\Ziel\\Q\\.b\\f.txt")), "aus b");
    EXPECT_EQ(LiesDatei(Posix("D:\\Ziel\\Q\\Sys\\f.txt")), "aus Sys");
    EXPECT_EQ(Fs()->Dir("D:\\Ziel\\Q\\Sys", attr::Verzeichnis), ""); // the mirror is hidden and system too
    EXPECT_EQ(Fs()->Dir("D:\\Ziel\\Q\\Sys", attr::AlleOrdner), "Sys");
    EXPECT_EQ(Wert("C:\\Q\\Sys\\f.txt"), 0);
}

TEST_F(Ordnerkopie, NameMismatchSkipsFolderFilesButNotSubfolders) {
    Schreibe("C:\\Q\\A\\datei.txt", "x", 32);
    Schreibe("C:\\Q\\A\\U\\unten.txt", "u", 32);
    sicherung.fc = Dateisammlung{"C:\\vorher", {}};
    Spiegele("C:\\Q\\A", "D:\\Ziel\\a");
    EXPECT_FALSE(Existiert("D:\\Ziel\\a\\datei.txt"));
    EXPECT_EQ(Wert("C:\\Q\\A\\datei.txt"), 32);
    EXPECT_EQ(sicherung.tmp_fehler, "nein");
    EXPECT_EQ(LiesDatei(Posix("D:\\Ziel\\a\\U\\unten.txt")), "u");
    EXPECT_EQ(sicherung.fc->Ordner, "C:\\Q\\A\\U");
}

TEST_F(Ordnerkopie, MissingCopySetsFailureAndLaterFilesAreStillCopied) {
    for (const char* n : {"a.txt", "b.txt", "c.txt"})
        Schreibe(Pfad("C:\\Q\\") + n, n, 32);
    nachKopie = [this](const Datei& d, const Pfad& ziel) {
        if (d.Name == "b.txt")
            std::filesystem::remove(Posix(ziel));
    };
    Spiegele("C:\\Q", "D:\\Ziel\\Q");
    EXPECT_EQ(sicherung.tmp_fehler, "ja");
    EXPECT_TRUE(Existiert("D:\\Ziel\\Q\\a.txt"));
    EXPECT_TRUE(Existiert("D:\\Ziel\\Q\\c.txt"));
    EXPECT_EQ(Wert("C:\\Q\\c.txt"), 0);
}

TEST_F(Ordnerkopie, FileWrittenDuringItsCopyKeepsArchiveBitAndFailsCheck) {
    Schreibe("C:\\Q\\a.txt", "alt");
    Schreibe("C:\\Q\\b.txt", "b");
    nachKopie = [this](const Datei& d, const Pfad&) {
        if (d.Name == "a.txt")
            SchreibeDatei(Posix("C:\\Q\\a.txt"), "neu und laenger");
    };
    Spiegele("C:\\Q", "D:\\Ziel\\Q");
    EXPECT_EQ(sicherung.tmp_fehler, "ja");
    EXPECT_GE(Wert("C:\\Q\\a.txt"), 32);
    EXPECT_EQ(Wert("C:\\Q\\b.txt"), 0);
    EXPECT_EQ(LiesDatei(Posix("D:\\Ziel\\Q\\a.txt")), "alt");
}

TEST_F(Ordnerkopie, HigherBitsWithoutArchiveBitAreNeverWrittenBack) {
    Schreibe("C:\\Q\\a.txt", "a", 0);
    attributfilter = [](const Datei&, int wert) { return wert | 64; };
    Spiegele("C:\\Q", "D:\\Ziel\\Q");
    EXPECT_EQ(Zaehle("SetFileAttr"), 0u);
    EXPECT_EQ(sicherung.tmp_fehler, "ja"); // still 32 or more: the check says so
    EXPECT_EQ(Wert("C:\\Q\\a.txt"), 0);
}

TEST_F(Ordnerkopie, ExistingDestinationFileIsReplaced) {
    Schreibe("C:\\Q\\a.txt", "neu", 32);
    SchreibeDatei(Posix("D:\\Ziel\\Q\\a.txt"), "alt und laenger");
    Spiegele("C:\\Q", "D:\\Ziel\\Q");
    EXPECT_EQ(LiesDatei(Posix("D:\\Ziel\\Q\\a.txt")), "neu");
}

TEST_F(Ordnerkopie, MirroredFoldersGetTheSourceFolderPermissionBits) {
    Schreibe("C:\\Q\\privat\\geheim.txt", "g");
    Schreibe("C:\\Q\\nurlesen\\f.txt", "f");
    std::filesystem::permissions(Posix("C:\\Q\\privat"), std::filesystem::perms::owner_all);
    std::filesystem::permissions(Posix("C:\\Q\\nurlesen"),
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec |
                                     std::filesystem::perms::group_read | std::filesystem::perms::group_exec);
    Spiegele("C:\\Q", "D:\\Ziel\\Q");
    auto rechte = [this](const Pfad& p) { return std::filesystem::status(Posix(p)).permissions(); };
    EXPECT_EQ(rechte("D:\\Ziel\\Q\\privat"), std::filesystem::perms::owner_all);
    EXPECT_EQ(rechte("D:\\Ziel\\Q\\nurlesen"), rechte("C:\\Q\\nurlesen"));
    EXPECT_EQ(LiesDatei(Posix("D:\\Ziel\\Q\\nurlesen\\f.txt")), "f");
    EXPECT_EQ(rechte("D:\\Ziel\\Q"), rechte("C:\\Q"));
}

TEST_F(Ordnerkopie, WalkNeitherEntersMountsNorFollowsLinksNorOpensSpecialFiles) {
    // A drive of the table mounted inside the source stands for a mount point.
    std::filesystem::create_directories(temp / "C" / "Q" / "Einhaengung");
    SchreibeDatei(temp / "C" / "Q" / "Einhaengung" / "fremd.txt", "fremd");
    laufwerke = Laufwerkstabelle({Laufwerk{'C', (temp / "C").string(), {}}, Laufwerk{'D', (temp / "D").string(), {}},
                                  Laufwerk{'E', (temp / "C" / "Q" / "Einhaengung").string(), {}}});
    Schreibe("C:\\Q\\a.txt", "a");
    std::filesystem::create_directory_symlink(temp / "C", Posix("C:\\Q\\nach oben"));
    std::filesystem::create_symlink(Posix("C:\\Q\\a.txt"), Posix("C:\\Q\\verweis.txt"));
    ASSERT_EQ(mkfifo(Posix("C:\\Q\\rohr").c_str(), 0644), 0);
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un adresse{};
    adresse.sun_family = AF_UNIX;
    const std::string sockname = Posix("C:\\Q\\sock").string();
    ASSERT_LT(sockname.size(), sizeof adresse.sun_path);
    std::copy(sockname.begin(), sockname.end(), adresse.sun_path);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&adresse), sizeof adresse), 0);

    Spiegele("C:\\Q", "D:\\Ziel\\Q");
    close(s);

    EXPECT_EQ(sicherung.tmp_fehler, "nein");
    EXPECT_TRUE(std::filesystem::is_directory(Posix("D:\\Ziel\\Q\\Einhaengung")));
    EXPECT_FALSE(Existiert("D:\\Ziel\\Q\\Einhaengung\\fremd.txt"));
    // Links are copied as links and never followed: the folder above is not copied through them.
    EXPECT_TRUE(std::filesystem::is_symlink(std::filesystem::symlink_status(Posix("D:\\Ziel\\Q\\nach oben"))));
    EXPECT_EQ(std::filesystem::read_symlink(Posix("D:\\Ziel\\Q\\nach oben")), temp / "C");
    EXPECT_EQ(std::filesystem::read_symlink(Posix("D:\\Ziel\\Q\\verweis.txt")), Posix("C:\\Q\\a.txt"));
    EXPECT_FALSE(Existiert("D:\\Ziel\\Q\\rohr"));
    EXPECT_FALSE(Existiert("D:\\Ziel\\Q\\sock"));
    EXPECT_EQ(LiesDatei(Posix("D:\\Ziel\\Q\\a.txt")), "a");
}

TEST_F(Ordnerkopie, TheRunningBackupFolderIsNeverEntered) {
    // The target lies inside the source; the walk must not copy its own copies.
    Schreibe("C:\\Q\\a.txt", "a");
    std::filesystem::create_directories(Posix("C:\\Q\\Sicherung"));
    auto h = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke), &protokoll);
    h->Ausschliessen("C:\\Q\\Sicherung");
    sicherung.fso = std::move(h);
    sicherung.KopiereDateien("C:\\Q", "C:\\Q\\Sicherung\\Q");
    EXPECT_EQ(LiesDatei(Posix("C:\\Q\\Sicherung\\Q\\a.txt")), "a");
    EXPECT_FALSE(Existiert("C:\\Q\\Sicherung\\Q\\Sicherung"));
}

TEST_F(Ordnerkopie, FailedCopyKeepsItsArchiveBitAndEndsTheCopy) {
    Schreibe("C:\\Q\\a.txt", "a");
    Schreibe("C:\\Q\\b.txt", "b");
    // An input/output error of the target.
    vorher = [](const std::string& z) {
        if (z.rfind("Copy C:\\Q\\b.txt", 0) == 0)
            throw FsFehler("Copy", "D:\\Ziel\\Q\\b.txt", std::make_error_code(std::errc::io_error));
    };
    EXPECT_THROW(Spiegele("C:\\Q", "D:\\Ziel\\Q"), FsFehler);
    EXPECT_GE(Wert("C:\\Q\\b.txt"), 32);
    EXPECT_FALSE(Existiert("D:\\Ziel\\Q\\b.txt"));
    EXPECT_EQ(LiesDatei(Posix("D:\\Ziel\\Q\\a.txt")), "a"); // what was copied stays
}

// A subfolder's mirror is made where its name was just found free, with no second look: whatever takes that name
// in the moment after the look (a folder, a file or a link of someone else's on the target) fails the making and
// ends the run, and nothing of the subfolder goes into it or through it.
TEST_F(Ordnerkopie, MirrorNameTakenAfterItsLookupEndsTheRun) {
    struct Fall {
        std::string Name;
        std::function<void(const std::filesystem::path&)> Belege;
    };
    const std::filesystem::path anderswo = Posix("D:\\Anderswo");
    const std::vector<Fall> faelle = {
        {"Ordner", [](const std::filesystem::path& p) { std::filesystem::create_directory(p); }},
        {"Datei", [](const std::filesystem::path& p) { SchreibeDatei(p, "fremd"); }},
        {"Verweis", [&](const std::filesystem::path& p) { std::filesystem::create_directory_symlink(anderswo, p); }},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Name);
        for (const char* laufwerk : {"C:\\", "D:\\"}) {
            std::filesystem::remove_all(Posix(laufwerk));
            std::filesystem::create_directories(Posix(laufwerk));
        }
        std::filesystem::create_directories(Posix("D:\\Ziel"));
        std::filesystem::create_directories(anderswo);
        Schreibe("C:\\Q\\U\\u.txt", "u", 32);
        protokoll.clear();
        // The step on that name after its first lookup.
        int schritte = 0;
        vorher = [&](const std::string& zeile) {
            if ((zeile.starts_with("Dir D:\\Ziel\\Q\\U ") || zeile.starts_with("MakeDir D:\\Ziel\\Q\\U")) &&
                ++schritte == 2)
                f.Belege(Posix("D:\\Ziel\\Q\\U"));
        };
        EXPECT_THROW(Spiegele("C:\\Q", "D:\\Ziel\\Q"), FsFehler);
        vorher = nullptr;
        EXPECT_FALSE(std::filesystem::exists(Posix("D:\\Ziel\\Q\\U\\u.txt")));
        EXPECT_TRUE(std::filesystem::is_empty(anderswo));
        EXPECT_EQ(Wert("C:\\Q\\U\\u.txt"), 32); // not backed up: keeps its bit
    }
}

// A folder entered from its parent's loop is looked up there once: its own walk takes the folder, its name and the
// letter case of the target from that loop instead of asking again. The mirror's name is still asked where it
// was made, and each mirror is still looked for before it is made.
TEST_F(Ordnerkopie, AFolderEnteredFromItsParentIsLookedUpOnce) {
    class Zaehlend : public Dateisystemhuelle {
    public:
        using Dateisystemhuelle::Dateisystemhuelle;
        bool GrossKleinBlind(const Pfad& ordner) override {
            ++Gefragt;
            return Dateisystemhuelle::GrossKleinBlind(ordner);
        }
        int Gefragt = 0;
    };
    Schreibe("C:\\Q\\a.txt", "a", 32);
    Schreibe("C:\\Q\\A\\b.txt", "b", 32);
    Schreibe("C:\\Q\\A\\.B\\c.txt", "c", 32);
    auto h = std::make_unique<Zaehlend>(ErzeugePosixDateisystem(laufwerke), &protokoll);
    Zaehlend& huelle = *h;
    sicherung.fso = std::move(h);
    sicherung.KopiereDateien("C:\\Q", "D:\\Ziel\\Q");

    struct Fall {
        std::string Anfang;
        std::size_t Anzahl;
    };
    for (const Fall& f : std::vector<Fall>{
             {"GetFolder C:\\Q", 1},        // the top, taken by its walk
             {"GetFolder C:\\Q\\A", 1},     // in the loop of Q
             {"GetFolder C:\\Q\\A\\.B", 1}, // in the loop of A
             {"Dir C:\\Q", 1},              // the top's name, compared with its mirror's
             {"Dir C:\\Q\\A", 1},
             {"Dir C:\\Q\\A\\.B", 1},
             {"Dir D:\\Ziel\\Q\\A", 2}, // free before it is made, then its name as kept
             {"Dir D:\\Ziel\\Q\\A\\.B", 2},
         }) {
        SCOPED_TRACE(f.Anfang);
        EXPECT_EQ(std::count_if(protokoll.begin(), protokoll.end(),
                                [&f](const std::string& z) { return z == f.Anfang || z.starts_with(f.Anfang + " "); }),
                  static_cast<std::ptrdiff_t>(f.Anzahl));
    }
    EXPECT_EQ(huelle.Gefragt, 1);
    sicherung.fso.reset();
    EXPECT_EQ(sicherung.tmp_fehler, "nein");
    for (const auto& [rel, inhalt] :
         std::vector<std::pair<Pfad, std::string>>{{"a.txt", "a"}, {"A\\b.txt", "b"}, {"A\\.B\\c.txt", "c"}})
        EXPECT_EQ(LiesDatei(Posix("D:\\Ziel\\Q\\" + rel)), inhalt) << rel;
}

// The mirrors of a folder's subfolders made ahead while the walk is in the ones before: the backup holds exactly
// the mirrors the walk reached, whether a source folder vanished before its turn or the run was stopped before it.
TEST_F(Ordnerkopie, MirrorsMadeAheadAreTheWalksOnly) {
    struct Fall {
        const char* Name;
        const char* Ausloeser; // the record line at which the tree changes or the stop is asked
        bool Anhalten;         // else the folder of that line vanishes
        std::vector<const char*> Gespiegelt;
        std::vector<const char*> Fehlt;
    };
    const Fall faelle[] = {
        {"alle", "", false, {"A", "B", "C", "B\\T"}, {}},
        {"B verschwunden", "GetFolder C:\\Q\\B", false, {"A", "C"}, {"B"}},
        {"in B verschwunden", "GetFolder C:\\Q\\B\\T", false, {"A", "B", "C"}, {"B\\T"}},
        {"in A angehalten", "GetFolder C:\\Q\\A", true, {"A"}, {"B", "C"}},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Name);
        std::filesystem::remove_all(Posix("C:\\Q"));
        std::filesystem::remove_all(Posix("D:\\Ziel\\Q"));
        for (const char* datei : {"a.txt", "A\\a.txt", "B\\b.txt", "B\\T\\t.txt", "C\\c.txt"})
            Schreibe(std::string("C:\\Q\\") + datei, datei, 32);
        bool halt = false;
        fenster.abbruch = [&halt] { return halt; };
        auto h = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke), nullptr);
        h->vorausAnlegen = true;
        const std::string ausloeser = f.Ausloeser;
        h->vorher = [&](const std::string& zeile) {
            if (ausloeser.empty() || zeile != ausloeser)
                return;
            if (f.Anhalten)
                halt = true;
            else
                std::filesystem::remove_all(Posix(ausloeser.substr(std::string("GetFolder ").size())));
        };
        sicherung.fso = std::move(h);
        bool angehalten = false;
        try {
            sicherung.KopiereDateien("C:\\Q", "D:\\Ziel\\Q");
        } catch (...) {
            angehalten = true;
        }
        sicherung.fso.reset();
        fenster.abbruch = nullptr;
        EXPECT_EQ(angehalten, f.Anhalten);
        for (const char* o : f.Gespiegelt)
            EXPECT_TRUE(std::filesystem::is_directory(Posix(std::string("D:\\Ziel\\Q\\") + o))) << o;
        for (const char* o : f.Fehlt)
            EXPECT_FALSE(std::filesystem::exists(Posix(std::string("D:\\Ziel\\Q\\") + o))) << o;
        if (!f.Anhalten) {
            EXPECT_EQ(LiesDatei(Posix("D:\\Ziel\\Q\\A\\a.txt")), "A\\a.txt");
        }
    }
}

// On a target that ignores letter case, a mirror made ahead must never be one that the walk, taking back the mirror
// of a folder before it whose name differs in case only, would find made under its feet: such names, and every name
// from the first beyond ASCII on, are left to the walk. Elsewhere every subfolder is announced.
TEST_F(Ordnerkopie, OnACaseBlindTargetNoMirrorIsMadeAheadThatAnEarlierFolderCouldMeet) {
    class Blind : public Dateisystemhuelle {
    public:
        using Dateisystemhuelle::Dateisystemhuelle;
        bool GrossKleinBlind(const Pfad&) override { return Blind_; }
        void OrdnerVoraus(const Pfad& ordner, std::span<const std::string> namen) override {
            if (ordner == "D:\\Ziel\\Q")
                Angesagt.assign(namen.begin(), namen.end());
            Dateisystemhuelle::OrdnerVoraus(ordner, namen);
        }
        bool Blind_ = false;
        std::vector<std::string> Angesagt;
    };
    struct Fall {
        bool Blind;
        std::vector<std::string> Angesagt;
    } const faelle[] = {
        {true, {"A", "B", "c", "x"}},
        {false, {"A", "B", "a", "c", "x", "\xC3\x84", "\xC3\xA4"}},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Blind);
        std::filesystem::remove_all(Posix("C:\\Q"));
        std::filesystem::remove_all(Posix("D:\\Ziel\\Q"));
        for (const char* ordner : {"A", "B", "a", "c", "x", "\xC3\x84", "\xC3\xA4"})
            Schreibe(std::string("C:\\Q\\") + ordner + "\\d.txt", ordner, 32);
        auto h = std::make_unique<Blind>(ErzeugePosixDateisystem(laufwerke), nullptr);
        h->vorausAnlegen = true;
        h->Blind_ = f.Blind;
        Blind& huelle = *h;
        sicherung.fso = std::move(h);
        sicherung.KopiereDateien("C:\\Q", "D:\\Ziel\\Q");
        EXPECT_EQ(huelle.Angesagt, f.Angesagt);
        sicherung.fso.reset();
    }
}

} // namespace
} // namespace tresor::test
