// Backups onto network shares, for real on this machine: a folder served by OpenSSH on a loopback port and
// mounted with sshfs, and a share of Samba's smbd on a loopback address mounted with smbnetfs. A backup, a
// second run that finds nothing, a changed file found, a restore and a check; what a share cannot hold (links
// on SMB) named, as on sticks. Then the faults of a network target at each moment of a run, made to happen
// exactly there through the wrapper of the file-system interface, on both shares: the connection dropped, the
// share turned read-only, the disk behind it full, a server that answers slowly. Each fault ends the run
// cleanly (exit status 1, the platform's error report naming the target path), loses nothing and leaves no
// partial copy under a real name; the next run without the fault completes. smbnetfs opens a dropped
// connection again by itself, open files included: there the run completes, and every copy is checked. The tests need
// root, /dev/fuse, loop devices and the servers (tools/abhaengigkeiten.sh), and skip elsewhere.

#include "tests/zuverlaessigkeit/Netzziel.h"
#include "tests/zuverlaessigkeit/Laufumgebung.h"
#include "tests/zuverlaessigkeit/Programm.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;

// The servers of this test program, started once at their first use and stopped at its end: a loop-mounted
// ext4 image (so that it can fill up and turn read-only) served over SSH and over SMB.
struct Server {
    TempOrdner ordner;
    std::unique_ptr<Abbild> abbild;
    std::unique_ptr<SshServer> ssh;
    std::unique_ptr<SmbServer> smb;
    fs::path Bild() const { return ordner / "bild"; }
    fs::path Ordner() const { return ordner.Pfad(); }

    static Server& Alle() {
        static Server server;
        return server;
    }
    Abbild& Platte() {
        if (!abbild) {
            abbild = std::make_unique<Abbild>(ordner / "bild.img", Bild(), 48);
            if (abbild->Bereit())
                abbild->Einhaengen();
            else
                fs::create_directories(Bild());
        }
        return *abbild;
    }
    SshServer& Ssh() {
        if (!ssh) {
            Platte();
            ssh = std::make_unique<SshServer>(ordner / "ssh", Bild());
        }
        return *ssh;
    }
    SmbServer& Smb() {
        if (!smb) {
            Platte();
            smb = std::make_unique<SmbServer>(ordner / "smb", Bild());
        }
        return *smb;
    }
    ~Server() {
        ssh.reset();
        smb.reset();
        abbild.reset();
    }
};

std::string Zufallsinhalt(std::size_t groesse, unsigned saat) {
    std::mt19937_64 z(saat);
    std::string s(groesse, '\0');
    for (auto& c : s)
        c = static_cast<char>(z());
    return s;
}

class Netzlauf : public Laufumgebung {
protected:
    // Mounts the share of `server` in the test's folder and makes D: a fresh folder of it, named after the test.
    bool Verbinde(Netzserver& server) {
        if (!server.Bereit()) {
            grund = server.Grund();
            return false;
        }
        punkt = temp / "netz";
        if (!server.Einhaengen(punkt)) {
            grund = server.Grund();
            return false;
        }
        netz = &server;
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "-" + info->name();
        for (char& c : name)
            if (c == '/')
                c = '-';
        ZielLaufwerk(server.Freigabe(punkt) / name);
        return true;
    }
    void TearDown() override {
        if (netz != nullptr) {
            netz->Fortsetzen();
            std::error_code f;
            fs::remove_all(Z().parent_path(), f);
            netz->Aushaengen();
        }
    }

    // With `verweise`, two symbolic links (one dangling) besides the files.
    void Quellbaum(bool verweise = true) {
        SchreibeDatei(Q() / "a.txt", "eins");
        SchreibeDatei(Q() / "sub" / "b.txt", "zwei");
        SchreibeDatei(Q() / ".versteckt", "punkt");
        SchreibeDatei(Q() / "gross.bin", Zufallsinhalt(3 << 20, 7));
        SchreibeDatei(Q() / "z.txt", "letzte");
        if (!verweise)
            return;
        fs::create_symlink("a.txt", Q() / "zeiger");
        fs::create_symlink("nirgends", Q() / "haengend");
    }

    void PruefeOhneVerlust(const std::string& wann) {
        // A temporary copy may stay where the connection went before it could be removed; never a real name.
        const Verluste v = Pruefe(true);
        for (const auto& m : v.Meldungen)
            ADD_FAILURE() << wann << ": " << m;
        Berichte("verlust", v.Anzahl);
    }

    std::string grund;
    fs::path punkt;
    Netzserver* netz = nullptr;
};

// ---- A backup, a run that finds nothing, a change, a restore, a check and a thinning on each network target ----

struct Zielart {
    const char* name;
    Netzserver& (*server)();
    bool verweise;        // the share holds symbolic links
    bool wiederverbinden; // the client opens a dropped connection again by itself, open files included
    bool nurWindowsNamen; // the share stores only the names Windows allows
};

const Zielart Zielarten[] = {
    {"sshfs", []() -> Netzserver& { return Server::Alle().Ssh(); }, true, false, false},
    {"smb", []() -> Netzserver& { return Server::Alle().Smb(); }, false, true, true},
};

class Netzziel : public Netzlauf, public ::testing::WithParamInterface<Zielart> {};

TEST_P(Netzziel, BackupNothingNewAChangeRestoreCheckAndThinning) {
    const Zielart& art = GetParam();
    if (!Verbinde(art.server()))
        GTEST_SKIP() << grund;
    Quellbaum();
    const std::string verweisGrund =
        "Nicht gesichert: " + (Q() / "zeiger").string() + " (das Ziel kann keine symbolischen Verknüpfungen speichern)";

    // A share without links names each link and still holds every file; one with links holds them too.
    EXPECT_EQ(Lauf(), art.verweise ? 0 : 1) << fehler.str();
    EXPECT_EQ(fehler.str().find("Der Vorgang"), std::string::npos) << fehler.str();
    EXPECT_EQ(fehler.str().find(verweisGrund) != std::string::npos, !art.verweise) << fehler.str();
    PruefeOhneVerlust("erster Lauf");
    for (const auto& [rel, inhalt] : Bestand(Q().string()))
        EXPECT_FALSE(Archiv(rel)) << rel;
    const std::string erster = fassung.rbegin()->first;
    if (art.verweise) {
        EXPECT_EQ(fs::read_symlink(Z() / erster / "Q" / "zeiger"), "a.txt");
        EXPECT_EQ(fs::read_symlink(Z() / erster / "Q" / "haengend"), "nirgends");
        EXPECT_EQ(LiesDatei(Z() / erster / "Q" / "a.txt"), "eins") << "setting a link's time left its target alone";
    }

    // Nothing changed: nothing copied.
    const std::size_t ordner = fassung.size();
    EXPECT_EQ(Lauf(), art.verweise ? 0 : 1) << fehler.str();
    if (fassung.size() > ordner) {
        EXPECT_TRUE(Bestand((Z() / fassung.rbegin()->first / "Q").string()).empty());
    }

    // One change: exactly that file.
    SchreibeDatei(Q() / "sub" / "b.txt", "zwei, geändert");
    EXPECT_EQ(Lauf(), art.verweise ? 0 : 1) << fehler.str();
    const auto neu = Bestand((Z() / fassung.rbegin()->first / "Q").string());
    EXPECT_EQ(neu.size(), 1u);
    EXPECT_EQ(neu.count("sub/b.txt"), 1u);
    PruefeOhneVerlust("nach der Änderung");

    // The newest point restores to the source, and the check finds it whole; where the share holds no links,
    // both name exactly the links and restore every file.
    const int ganz = art.verweise ? 0 : 1;
    EXPECT_EQ(Rufe({"--pruefen", "--ziel", "D:\\Z", "--quelle", "C:\\Q"}), ganz) << aus.str() << fehler.str();
    for (const char* verweis : {"zeiger", "haengend"})
        EXPECT_EQ((aus.str() + fehler.str()).find(verweis) != std::string::npos, !art.verweise)
            << aus.str() << fehler.str();
    EXPECT_EQ(Rufe({"--wiederherstellen", "--ziel", "D:\\Z", "--quelle", "C:\\Q", "--nach", "C:\\zurueck"}), ganz)
        << aus.str() << fehler.str();
    EXPECT_EQ((aus.str() + fehler.str()).find("Nicht wiederhergestellt: zeiger") != std::string::npos, !art.verweise);
    EXPECT_EQ(Bestand((temp / "C" / "zurueck").string()), Bestand(Q().string()));
    if (art.verweise) {
        EXPECT_EQ(fs::read_symlink(temp / "C" / "zurueck" / "zeiger"), "a.txt");
    }

    // Thinned to the newest point: the copies it needs move into it by renames on the share, the older
    // folders go, and the point still restores to the source.
    ASSERT_GE(fassung.size(), 2u) << "a point to thin away";
    EXPECT_EQ(Rufe({"--aufraeumen", "--ziel", "D:\\Z", "--quelle", "C:\\Q", "--behalte-letzte", "1"}), 0)
        << aus.str() << fehler.str();
    std::vector<std::string> ordnerDanach;
    for (const auto& e : fs::directory_iterator(Z()))
        if (e.path().filename().string().starts_with("Sicherung-"))
            ordnerDanach.push_back(e.path().filename().string());
    EXPECT_EQ(ordnerDanach, std::vector<std::string>{fassung.rbegin()->first});
    EXPECT_EQ(Rufe({"--pruefen", "--ziel", "D:\\Z", "--quelle", "C:\\Q"}), ganz) << aus.str() << fehler.str();
    EXPECT_EQ(Rufe({"--wiederherstellen", "--ziel", "D:\\Z", "--quelle", "C:\\Q", "--nach", "C:\\duenn"}), ganz)
        << aus.str() << fehler.str();
    EXPECT_EQ(Bestand((temp / "C" / "duenn").string()), Bestand(Q().string()));
}

// A share that stores only the names Windows allows refuses the others, and smbnetfs then answers every call
// with an input/output error for a while, or it shows a file of a device's name under another one: such a file, or a
// folder with all it holds, is passed over and named before the share is asked anything about it, keeps its archive
// bit, and the rest of the tree is backed up, run after run. A share that stores every name holds them all.
TEST_P(Netzziel, NamesTheShareCannotStoreArePassedOverAndNamed) {
    const Zielart& art = GetParam();
    if (!Verbinde(art.server()))
        GTEST_SKIP() << grund;
    // Besides the characters: the names of devices, bare or with an ending, in any letter case.
    const std::vector<std::string> fremd = {
        "a:b.txt",  "frage?",  "stern*.txt", "zitat\"x", "<spitz>",  "rohr|x", "schräg\\strich", "ende.", "ende ",
        "ordner:x", "aux.txt", "CON",        "nul",      "Com1.log", "lpt9"};
    for (const std::string& name : fremd)
        if (name != "ordner:x")
            SchreibeDatei(Q() / name, name);
    SchreibeDatei(Q() / "ordner:x" / "innen.txt", "innen");
    SchreibeDatei(Q() / "ordner:x" / "tief" / "mehr.txt", "mehr");
    SchreibeDatei(Q() / "a.txt", "eins");
    SchreibeDatei(Q() / "sub" / "b.txt", "zwei");
    SchreibeDatei(Q() / "zz.txt", "letzte");

    for (const char* lauf : {"erster Lauf", "zweiter Lauf"}) {
        EXPECT_EQ(Lauf(), art.nurWindowsNamen ? 1 : 0) << lauf << fehler.str();
        EXPECT_EQ(fehler.str().find("Der Vorgang"), std::string::npos) << lauf << fehler.str();
        for (const std::string& name : fremd) {
            const std::string meldung =
                "Nicht gesichert: " + (Q() / name).string() + " (das Ziel kann diesen Namen nicht speichern)";
            EXPECT_EQ(fehler.str().find(meldung) != std::string::npos, art.nurWindowsNamen) << lauf << name;
        }
        // The folder is named once, never what it holds.
        EXPECT_EQ(fehler.str().find("innen.txt"), std::string::npos) << lauf << fehler.str();
        for (const auto& [rel, inhalt] : Bestand(Q().string())) {
            const bool fremderName = std::any_of(fremd.begin(), fremd.end(), [&](const std::string& name) {
                return rel == name || rel.starts_with(name + "/");
            });
            EXPECT_EQ(Archiv(rel), art.nurWindowsNamen && fremderName) << lauf << rel;
        }
    }
    PruefeOhneVerlust("zwei Läufe");
    ASSERT_FALSE(fassung.empty());
    // The first backup holds every file the share can name, and only those (listed, never looked up by name).
    std::set<std::string> erwartet;
    for (const auto& [rel, inhalt] : Bestand(Q().string()))
        if (!art.nurWindowsNamen || !Archiv(rel))
            erwartet.insert(rel);
    std::set<std::string> gesichert;
    for (const auto& [rel, inhalt] : Bestand((Z() / fassung.begin()->first / "Q").string()))
        gesichert.insert(rel);
    EXPECT_EQ(gesichert, erwartet);
    EXPECT_EQ(gesichert.size(), art.nurWindowsNamen ? 3u : 19u);
}

TEST_P(Netzziel, ARestoreOntoTheShareNamesWhatItCannotStoreAndGoesOn) {
    const Zielart& art = GetParam();
    if (!Verbinde(art.server()))
        GTEST_SKIP() << grund;
    const char* const fremd[] = {"a:b", "x?", "st*r", "q\"", "<l", "g>", "p|p", "b\\s", "punkt.", "blank ", "o:x"};
    for (const std::string name : fremd)
        SchreibeDatei(name == "o:x" ? Q() / name / "innen.txt" : Q() / name, name);
    SchreibeDatei(Q() / "a.txt", "eins");
    SchreibeDatei(Q() / "sub" / "b.txt", "zwei");
    SchreibeDatei(Q() / "zz.txt", "letzte");
    // Backed up onto the local disk, which holds every name, and restored onto the share.
    fs::create_directories(Q().parent_path() / "lokal");
    ASSERT_EQ(Rufe({"--quelle", "C:\\Q", "--ziel", "C:\\lokal"}), 0) << fehler.str();
    fehler.str("");
    EXPECT_EQ(Rufe({"--wiederherstellen", "--ziel", "C:\\lokal", "--quelle", "C:\\Q", "--nach", "D:\\zurueck"}),
              art.nurWindowsNamen ? 1 : 0)
        << aus.str() << fehler.str();
    const std::string grundtext = ": das Ziel kann diesen Namen nicht speichern\n";
    std::size_t genannt = 0;
    for (std::size_t an = fehler.str().find(grundtext); an != std::string::npos;
         an = fehler.str().find(grundtext, an + 1))
        ++genannt;
    EXPECT_EQ(genannt, art.nurWindowsNamen ? std::size(fremd) : 0u) << fehler.str();
    EXPECT_EQ(fehler.str().find("Nicht wiederhergestellt: a:b" + grundtext) != std::string::npos, art.nurWindowsNamen)
        << fehler.str();
    // Every file the share can name is restored whole, also those after the first refused name.
    std::map<std::string, Inhalt> erwartet = Bestand(Q().string());
    if (art.nurWindowsNamen)
        std::erase_if(erwartet, [](const auto& e) {
            return e.first.find_first_of(":?*\"<>|\\") != std::string::npos || e.first.ends_with('.') ||
                   e.first.ends_with(' ');
        });
    EXPECT_EQ(Bestand((Z().parent_path() / "zurueck").string()), erwartet);
    EXPECT_EQ(erwartet.size(), art.nurWindowsNamen ? 3u : 14u);
}

INSTANTIATE_TEST_SUITE_P(Ziele, Netzziel, ::testing::ValuesIn(Zielarten),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- What a run has marked as backed up is on the server's disk ----

// The server loses its power right after the run: its disk holds what reached it, not what its memory still
// held. A copy of the served image taken then is that disk (the image is ext4 without a journal, so what its
// kernel has not yet written back is not in it). Every file whose archive bit the run cleared has its copy
// there, whole and under its name, and so has every file a restore onto the share wrote. sshfs hands a flush on to the
// server (SFTP's fsync); smbnetfs passes none, so no client of it can make a copy durable, and the test runs on sshfs.
TEST_F(Netzlauf, EveryFileMarkedAsBackedUpHasItsCopyOnTheServersDisk) {
    Server& s = Server::Alle();
    if (!s.Platte().Bereit())
        GTEST_SKIP() << s.Platte().Grund();
    if (!Verbinde(s.Ssh()))
        GTEST_SKIP() << grund;
    Quellbaum();
    SchreibeDatei(Q() / "sub" / "tief" / "c.txt", "drei");
    ASSERT_EQ(Lauf(), 0) << aus.str() << fehler.str();
    ASSERT_EQ(fassung.size(), 1u);
    // A restore onto the share has what it wrote on that disk as well (all but the link that points nowhere,
    // which sshfs cannot give its time).
    (void)Rufe({"--wiederherstellen", "--ziel", "D:\\Z", "--quelle", "C:\\Q", "--nach", "D:\\zurueck"});
    EXPECT_EQ(fehler.str().find("Nicht dauerhaft"), std::string::npos) << fehler.str();

    const fs::path abbild = temp / "stromausfall.img";
    const fs::path platte = temp / "stromausfall";
    fs::create_directories(platte);
    ASSERT_EQ(Fuehre({"cp", "--sparse=always", (s.Ordner() / "bild.img").string(), abbild.string()}), 0);
    ASSERT_EQ(Fuehre({"mount", "-o", "loop,ro", abbild.string(), platte.string()}), 0);
    struct Aushaengen {
        fs::path punkt;
        ~Aushaengen() { (void)Fuehre({"umount", punkt.string()}); }
    } aushaengen{platte};
    const fs::path gesichert = platte / Z().lexically_relative(punkt) / fassung.begin()->first / "Q";
    int markiert = 0;
    for (const auto& [rel, inhalt] : Bestand(Q().string())) {
        if (Archiv(rel))
            continue;
        ++markiert;
        EXPECT_EQ(InhaltVon((gesichert / rel).string()), std::optional<Inhalt>(inhalt)) << rel;
    }
    EXPECT_EQ(markiert, 6);
    const fs::path zurueck = platte / Z().parent_path().lexically_relative(punkt) / "zurueck";
    for (const auto& [rel, inhalt] : Bestand(Q().string()))
        if (rel != "haengend") {
            EXPECT_EQ(InhaltVon((zurueck / rel).string()), std::optional<Inhalt>(inhalt)) << rel;
        }
}

// ---- Faults of the target at each moment of a run ----

enum class Fehlerart { Verbindung, Schreibschutz, Voll, Langsam };
enum class Moment { VorErsterKopie, MittenInGrosserDatei, ZwischenDateien, BeimMarkieren, BeimBestand };

struct Stoerung {
    const Zielart* ziel;
    Fehlerart art;
    Moment moment;
    int status; // the exit status of the run met by the fault
};

// Remounts the served image read-only or writable again. The kernel refuses a read-only remount while a file on it
// is open for writing: the server's session of the test before may still be closing such a file for a moment after
// its client was unmounted (the run under test is held where the fault is made and writes nothing meanwhile). So the
// remount is tried again until those are closed, a few seconds at most.
int Umhaengen(const fs::path& bild, const char* wie) {
    for (int versuch = 0;; ++versuch) {
        const int status = Fuehre({"mount", "-o", std::string("remount,") + wie, bild.string()});
        if (status == 0 || versuch == 200)
            return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
}

class Netzfehler : public Netzlauf, public ::testing::WithParamInterface<Stoerung> {
protected:
    void Bewirke(Fehlerart art) {
        if (eingetreten)
            return;
        eingetreten = true;
        Server& s = Server::Alle();
        switch (art) {
        case Fehlerart::Verbindung:
            netz->TrenneVerbindungen();
            break;
        case Fehlerart::Schreibschutz:
            ASSERT_EQ(Umhaengen(s.Bild(), "ro"), 0);
            break;
        case Fehlerart::Voll: {
            // Every free block of the disk behind the share taken.
            const int fd = ::open((s.Bild() / "fueller").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            for (off_t stueck = 64 << 20; stueck >= 4096; stueck /= 2)
                while (::fallocate(fd, 0, ::lseek(fd, 0, SEEK_END), stueck) == 0)
                    ::lseek(fd, stueck, SEEK_END);
            ::close(fd);
            break;
        }
        case Fehlerart::Langsam:
            // The server stops answering for a moment: every request waits for it.
            netz->Anhalten();
            wecker = std::thread([server = netz] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                server->Fortsetzen();
            });
            break;
        }
    }
    void Behebe(Fehlerart art) {
        Server& s = Server::Alle();
        if (wecker.joinable())
            wecker.join();
        switch (art) {
        case Fehlerart::Verbindung:
            netz->Aushaengen();
            ASSERT_TRUE(netz->Einhaengen(punkt)) << netz->Grund();
            break;
        case Fehlerart::Schreibschutz:
            ASSERT_EQ(Umhaengen(s.Bild(), "rw"), 0);
            break;
        case Fehlerart::Voll:
            fs::remove(s.Bild() / "fueller");
            break;
        case Fehlerart::Langsam:
            break;
        }
    }
    void TearDown() override {
        if (wecker.joinable())
            wecker.join();
        Netzlauf::TearDown();
    }

    bool eingetreten = false;
    std::thread wecker;
};

TEST_P(Netzfehler, EndsCleanlyLosesNothingAndTheNextRunCompletes) {
    const Stoerung s = GetParam();
    if (!Server::Alle().Platte().Bereit())
        GTEST_SKIP() << Server::Alle().Platte().Grund();
    if (!Verbinde(s.ziel->server()))
        GTEST_SKIP() << grund;
    // Links that the share cannot hold would fail every run, fault or not.
    Quellbaum(s.ziel->verweise);
    int kopien = 0;
    Vorher([&](const std::string& zeile) {
        const bool kopie = zeile.starts_with("Copy ");
        kopien += kopie ? 1 : 0;
        if ((s.moment == Moment::VorErsterKopie && kopie && kopien == 1) ||
            (s.moment == Moment::ZwischenDateien && kopie && kopien == 2) ||
            (s.moment == Moment::BeimMarkieren && zeile.starts_with("Sync ")) ||
            (s.moment == Moment::BeimBestand && zeile.starts_with("OrdnerAbschliessen C:\\Q D:")))
            Bewirke(s.art);
    });
    waehrendKopie = [&](const Datei&, std::uint64_t kopiert, std::uint64_t groesse) {
        if (s.moment == Moment::MittenInGrosserDatei && kopiert > 0 && kopiert < groesse)
            Bewirke(s.art);
    };
    const int status = Lauf();
    EXPECT_TRUE(eingetreten) << "the fault was met";
    EXPECT_EQ(status, s.status) << aus.str() << fehler.str();
    if (s.status == 1) {
        // The platform's error report, naming the path on the target.
        EXPECT_TRUE(fehler.str().starts_with("Der Vorgang ")) << fehler.str();
        EXPECT_NE(fehler.str().find("Pfad: D:\\Z\\Sicherung-"), std::string::npos) << fehler.str();
        // A reason in words, not the bare error number; a full disk as such, though SFTP calls it a failure.
        EXPECT_EQ(fehler.str().find("Grund: Fehler "), std::string::npos) << fehler.str();
        if (s.art == Fehlerart::Voll) {
            EXPECT_NE(fehler.str().find("Grund: Datenträger voll"), std::string::npos) << fehler.str();
        }
    }
    Behebe(s.art);
    ASSERT_TRUE(Nachtragen());
    PruefeOhneVerlust("nach dem Fehler");

    Vorher({});
    waehrendKopie = {};
    EXPECT_EQ(Lauf(), 0) << aus.str() << fehler.str();
    PruefeOhneVerlust("danach");
    for (const auto& [rel, inhalt] : Bestand(Q().string()))
        EXPECT_FALSE(Archiv(rel)) << rel << " wurde nicht nachgeholt";
    Berichte("fehler", 1);
}

std::vector<Stoerung> Stoerungen() {
    std::vector<Stoerung> alle;
    for (const Zielart& ziel : Zielarten)
        for (Fehlerart art : {Fehlerart::Verbindung, Fehlerart::Schreibschutz, Fehlerart::Voll, Fehlerart::Langsam})
            for (Moment m : {Moment::VorErsterKopie, Moment::MittenInGrosserDatei, Moment::ZwischenDateien,
                             Moment::BeimMarkieren, Moment::BeimBestand})
                // No disk turns read-only while a file on it is open for writing (the server holds the copy open):
                // that moment cannot happen.
                if (art != Fehlerart::Schreibschutz || m != Moment::MittenInGrosserDatei)
                    // A slow server only delays the run; a dropped connection that the client opens again by
                    // itself (smbnetfs) does too: then the run completes, and every copy is checked below.
                    alle.push_back(
                        {&ziel, art, m,
                         art == Fehlerart::Langsam || (art == Fehlerart::Verbindung && ziel.wiederverbinden) ? 0 : 1});
    return alle;
}

std::string StoerungsName(const ::testing::TestParamInfo<Stoerung>& info) {
    static const char* const arten[] = {"Verbindung", "Schreibschutz", "Voll", "Langsam"};
    static const char* const momente[] = {"VorErsterKopie", "MittenInGrosserDatei", "ZwischenDateien", "BeimMarkieren",
                                          "BeimBestand"};
    return std::string(info.param.ziel->name) + "_" + arten[static_cast<int>(info.param.art)] + "_" +
           momente[static_cast<int>(info.param.moment)];
}

INSTANTIATE_TEST_SUITE_P(ArtenUndMomente, Netzfehler, ::testing::ValuesIn(Stoerungen()), StoerungsName);

// ---- A target that stops answering: the run ends within its bound ----

struct Haenger {
    const char* name;
    const Zielart* ziel;
    bool haengt;        // the share's client stops answering once the run has begun
    const char* grenze; // --zeitlimit
    int status;
};

class Zeitlimit : public Netzlauf, public ::testing::WithParamInterface<Haenger> {};

TEST_P(Zeitlimit, AHungShareEndsTheRunAndTheNextRunCompletes) {
    const Haenger h = GetParam();
    if (!Verbinde(h.ziel->server()))
        GTEST_SKIP() << grund;
    Quellbaum(h.ziel->verweise);
    // Where the program waits first (its look at the mounts, or the run on the target) names what it waits for.
    const std::string meldung = std::string(" antwortet seit ") + h.grenze + " Sekunden nicht: ";
    Programm programm(temp.Pfad());
    // The client stopped: each call on the share waits in the kernel, for ever without the bound.
    if (h.haengt)
        netz->KlientAnhalten(punkt, true);
    const pid_t pid = programm.Starte(Q().string(), Z().string(), {"--zeitlimit", h.grenze});
    const Programmende ende = programm.Warte(pid, false);
    netz->KlientAnhalten(punkt, false);
    EXPECT_EQ(ende.Status, h.status) << ende.Aus << ende.Fehler;
    EXPECT_EQ(ende.Fehler.find(meldung) != std::string::npos, h.haengt) << ende.Fehler;

    // The hung run marked nothing; the one that answered holds the whole source.
    for (const auto& [rel, inhalt] : Bestand(Q().string()))
        EXPECT_EQ(Archiv(rel), h.haengt) << rel;
    if (!h.haengt) {
        std::map<std::string, Inhalt> gesichert;
        for (const auto& e : fs::directory_iterator(Z()))
            gesichert = Bestand((e.path() / Q().relative_path()).string());
        EXPECT_EQ(gesichert, Bestand(Q().string()));
    }

    // The next run completes. After the hung run (which left no record) it backs up the whole source. The one
    // that answered left nothing to do: the run after it is the same program with the same paths, so it reads
    // the first run's record as the record of its source (a record names its source by the drive table of the
    // run that wrote it).
    if (h.haengt) {
        EXPECT_EQ(Lauf(), 0) << aus.str() << fehler.str();
        EXPECT_EQ(aus.str().find("Keine Dateien zum Sichern gefunden"), std::string::npos) << aus.str();
    } else {
        const Programmende danach = programm.Warte(programm.Starte(Q().string(), Z().string()), false);
        EXPECT_EQ(danach.Status, 0) << danach.Aus << danach.Fehler;
        EXPECT_NE(danach.Aus.find("Keine Dateien zum Sichern gefunden"), std::string::npos) << danach.Aus;
    }
    for (const auto& [rel, inhalt] : Bestand(Q().string()))
        EXPECT_FALSE(Archiv(rel)) << rel;
    if (h.haengt)
        PruefeOhneVerlust("danach");
}

const Haenger Haenger_[] = {
    {"sshfs_haengt", &Zielarten[0], true, "1", 1},
    {"sshfs_antwortet", &Zielarten[0], false, "60", 0},
    {"smb_haengt", &Zielarten[1], true, "1", 1},
    {"smb_antwortet", &Zielarten[1], false, "60", 0},
};

INSTANTIATE_TEST_SUITE_P(Ziele, Zeitlimit, ::testing::ValuesIn(Haenger_),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace tresor::test
