// Backups of a tree that changes while they are made: a writer (a thread of this test) renames, moves,
// rewrites, appends, saves as an editor does and relinks files of a generated tree while several runs of the
// built program go, then stops; the runs after it settle. Then:
// - every file of the source has its present content in the newest backup folder that holds its path;
// - every copy in every backup folder equals some content that its file had under that name.
// The writer keeps a log of every content each name held (as fingerprints), so that any copy can be checked.
// Its files stay within one page (4 KiB) and are rewritten by truncating and writing, renaming over or
// appending, so that each state a reader can meet is one the log holds. Changes of status alone (permission
// bits, a modification time set back) are left to the deterministic tests: within the archive record's
// window of a few milliseconds they are allowed to pass unseen (Archivvermerk.h).

#include "tests/Testhilfen.h"
#include "tests/zuverlaessigkeit/Bestand.h"
#include "tests/zuverlaessigkeit/Programm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;

constexpr int Dateien = 300;
constexpr int Ordner = 12;
constexpr int LaeufeMitSchreiber = 5;
constexpr int HoechstensNachlaeufe = 4;

// The writer and its log: each name (relative path) with every content fingerprint it ever held.
class Schreiber {
public:
    explicit Schreiber(fs::path quelle) : quelle_(std::move(quelle)) {}

    void Anlegen() {
        for (int o = 0; o < Ordner; ++o)
            fs::create_directories(quelle_ / OrdnerName(o, 0));
        ordnerStand_.assign(Ordner, 0);
        for (int i = 0; i < Dateien; ++i) {
            Datei d{i % Ordner, "d" + std::to_string(i), 0};
            dateien_.push_back(d);
            Schreibe(dateien_.back(), Inhalt(i, 0));
        }
    }

    // Changes the tree until `halt` is set; returns the number of changes made.
    long Laufe(const std::atomic<bool>& halt) {
        long aenderungen = 0;
        while (!halt.load()) {
            Aendere();
            ++aenderungen;
            std::this_thread::sleep_for(std::chrono::microseconds(1500));
        }
        return aenderungen;
    }

    // True when the log holds this content for this name.
    bool Hatte(const std::string& rel, const Inhalt& inhalt) const {
        const auto e = log_.find(rel);
        return e != log_.end() && e->second.contains({inhalt.Groesse, inhalt.Kennung});
    }

private:
    struct Datei {
        int Ordner;
        std::string Name;
        int Version;
    };

    static std::string OrdnerName(int o, int stand) { return "o" + std::to_string(o) + "-" + std::to_string(stand); }
    std::string Rel(const Datei& d) const { return OrdnerName(d.Ordner, ordnerStand_[d.Ordner]) + "/" + d.Name; }
    fs::path Posix(const Datei& d) const { return quelle_ / Rel(d); }
    // Content that tells file and version, of a length from some bytes to just under a page.
    std::string Inhalt(int id, int version) {
        std::string s = "Datei " + std::to_string(id) + " Version " + std::to_string(version) + "\n";
        const std::size_t laenge = std::uniform_int_distribution<std::size_t>(0, 3000)(zufall_);
        for (std::size_t i = 0; i < laenge; ++i)
            s.push_back(static_cast<char>('a' + (id * 7 + version * 13 + static_cast<int>(i)) % 26));
        return s;
    }
    void Notiere(const std::string& rel, std::string_view inhalt) {
        const auto f = InhaltAus(inhalt);
        log_[rel].insert({f.Groesse, f.Kennung});
    }
    // Writes the content in place: truncated, then written in one call (each state logged before it exists).
    void Schreibe(const Datei& d, const std::string& inhalt) {
        Notiere(Rel(d), "");
        Notiere(Rel(d), inhalt);
        inhalte_[Rel(d)] = inhalt;
        SchreibeDatei(Posix(d), inhalt);
    }

    void Aendere() {
        const int art = std::uniform_int_distribution<int>(0, 99)(zufall_);
        Datei& d = dateien_[std::uniform_int_distribution<std::size_t>(0, dateien_.size() - 1)(zufall_)];
        const int id = static_cast<int>(&d - dateien_.data());
        std::error_code ec;
        if (art < 35) { // rewritten in place
            Schreibe(d, Inhalt(id, ++d.Version));
        } else if (art < 50) { // saved as an editor does: a new file renamed over the old one
            const std::string neu = Inhalt(id, ++d.Version);
            Datei tmp{d.Ordner, "." + d.Name + ".swp", 0};
            Schreibe(tmp, neu);
            Notiere(Rel(d), neu);
            inhalte_[Rel(d)] = neu;
            fs::rename(Posix(tmp), Posix(d));
        } else if (art < 65) { // appended to, within one page
            std::string& jetzt = inhalte_[Rel(d)];
            if (jetzt.size() < 3800) {
                const std::string dazu = "+" + std::to_string(++d.Version);
                Notiere(Rel(d), jetzt + dazu);
                jetzt += dazu;
                std::ofstream(Posix(d), std::ios::app) << dazu;
            }
        } else if (art < 80) { // renamed within its folder, or moved to another
            Datei neu = d;
            neu.Name = "d" + std::to_string(id) + "-" + std::to_string(++umbenennungen_);
            if (art >= 73)
                neu.Ordner = std::uniform_int_distribution<int>(0, Ordner - 1)(zufall_);
            const std::string inhalt = inhalte_[Rel(d)];
            Notiere(Rel(neu), inhalt);
            inhalte_[Rel(neu)] = inhalt;
            fs::rename(Posix(d), Posix(neu));
            d = neu;
        } else if (art < 90) { // a second name, then the first one removed
            Datei neu = d;
            neu.Name = "d" + std::to_string(id) + "-" + std::to_string(++umbenennungen_);
            const std::string inhalt = inhalte_[Rel(d)];
            Notiere(Rel(neu), inhalt);
            inhalte_[Rel(neu)] = inhalt;
            fs::create_hard_link(Posix(d), Posix(neu));
            fs::remove(Posix(d));
            d = neu;
        } else { // a folder renamed: every file in it has a new name
            const int o = d.Ordner;
            const fs::path alt = quelle_ / OrdnerName(o, ordnerStand_[o]);
            const int neuerStand = ordnerStand_[o] + 1;
            for (const Datei& x : dateien_)
                if (x.Ordner == o) {
                    const std::string relNeu = OrdnerName(o, neuerStand) + "/" + x.Name;
                    Notiere(relNeu, inhalte_[Rel(x)]);
                    inhalte_[relNeu] = inhalte_[Rel(x)];
                }
            fs::rename(alt, quelle_ / OrdnerName(o, neuerStand));
            ordnerStand_[o] = neuerStand;
        }
    }

    fs::path quelle_;
    std::vector<Datei> dateien_;
    std::vector<int> ordnerStand_;
    std::map<std::string, std::string> inhalte_; // the present content of each name the writer made
    std::map<std::string, std::set<std::pair<std::uint64_t, std::uint64_t>>> log_;
    std::mt19937_64 zufall_{20261208};
    int umbenennungen_ = 0;
};

TEST(VeraenderlicherBaum, EveryChangeCaughtAndEveryCopyAVersionItsFileHad) {
    TempOrdner temp;
    const fs::path quelle = temp / "quelle";
    const fs::path ziel = temp / "ziel";
    fs::create_directories(ziel);
    Programm programm(temp.Pfad());
    Schreiber schreiber(quelle);
    schreiber.Anlegen();

    // Runs while the writer changes the tree, then runs until one finds nothing to back up.
    std::atomic<bool> halt{false};
    long aenderungen = 0;
    std::thread faden([&] { aenderungen = schreiber.Laufe(halt); });
    int laeufe = 0;
    for (int i = 0; i < LaeufeMitSchreiber; ++i) {
        const Programmende ende = programm.Sichere(quelle.string(), ziel.string());
        ++laeufe;
        // Entries that vanished or changed fail their checks; nothing ends a run early.
        EXPECT_NE(ende.Status, -1) << ende.Fehler;
        EXPECT_EQ(ende.Fehler.find("Der Vorgang"), std::string::npos) << ende.Fehler;
    }
    halt = true;
    faden.join();
    bool ruhig = false;
    for (int i = 0; i < HoechstensNachlaeufe && !ruhig; ++i) {
        const Programmende ende = programm.Sichere(quelle.string(), ziel.string());
        ++laeufe;
        EXPECT_EQ(ende.Status, 0) << ende.Aus << ende.Fehler;
        ruhig = ende.Aus.find("Keine Dateien zum Sichern gefunden") != std::string::npos;
    }
    EXPECT_TRUE(ruhig);

    std::vector<fs::path> sicherungen;
    for (const auto& e : fs::directory_iterator(ziel))
        sicherungen.push_back(e.path());
    std::sort(sicherungen.rbegin(), sicherungen.rend());
    const std::string spiegelTeil = quelle.string().substr(1);

    long geprueft = 0;
    long verstoesse = 0;
    // The newest backup holding each path holds its present content.
    std::map<fs::path, std::map<std::string, Inhalt>> bestaende;
    for (const auto& s : sicherungen)
        bestaende[s] = Bestand((s / spiegelTeil).string());
    for (const auto& [rel, inhalt] : Bestand(quelle.string())) {
        ++geprueft;
        const auto neueste = std::find_if(sicherungen.begin(), sicherungen.end(),
                                          [&](const fs::path& s) { return bestaende[s].contains(rel); });
        if (neueste == sicherungen.end() || !(bestaende[*neueste].at(rel) == inhalt)) {
            ++verstoesse;
            ADD_FAILURE() << rel << " in its newest backup is not its present content";
        }
    }
    // Every copy is a content its file had under that name; no temporary file is left.
    for (const auto& s : sicherungen) {
        for (const auto& [rel, inhalt] : bestaende[s]) {
            ++geprueft;
            if (!schreiber.Hatte(rel, inhalt)) {
                ++verstoesse;
                ADD_FAILURE() << s.filename() << "/" << rel << " holds content that name never had";
            }
        }
        EXPECT_TRUE(Reste(s.string()).empty()) << s;
    }
    std::cout << "[ Ergebnis ] Läufe: " << laeufe << ", Änderungen: " << aenderungen
              << ", geprüfte Dateien: " << geprueft << ", Verstöße: " << verstoesse << "\n";
    EXPECT_EQ(verstoesse, 0);
    EXPECT_GT(aenderungen, 500);
}

} // namespace
} // namespace tresor::test
