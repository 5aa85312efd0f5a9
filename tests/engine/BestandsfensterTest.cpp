// The record of the source is written while the walk goes: entries wait for their batch's check and mark only
// as long as the batch is open, a run with few copies finishes its batch early once too many entries wait, and
// the record stays whole and in the walk's order whatever comes late (a copy failing at the end of its batch,
// a stop in the middle of a batch, hard-link names on both sides of a flush).
#include "engine/bestand/Bestandsformat.h"
#include "tests/engine/Engineumgebung.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;

const std::string Erster = "Sicherung-2002-02-07--13-42-27";
const std::string Zweiter = "Sicherung-2002-02-07--13-42-28";

class Bestandsfenster : public Engineumgebung {
public:
    // For the rows' steps.
    using Engineumgebung::Posix;
    using Engineumgebung::Schreibe;

protected:
    void SetUp() override {
        for (const char* d : {"a1.txt", "a2.txt", "a3.txt", "B\\b1.txt", "B\\b2.txt", "C\\c1.txt"})
            Schreibe(std::string("C:\\Q\\") + d, std::string("Inhalt ") + d);
        fenster.quellPfad = "C:\\Q";
        fenster.zielPfad = "D:\\";
        sicherung.bestandslaufwerke = laufwerke;
    }

    Bestand Satz(const std::string& ordner) {
        const auto gelesen = LiesBestand(LiesDatei(Posix("D:\\" + ordner + "\\" + Bestandsdateiname(0))));
        if (const auto* fehler = std::get_if<std::string>(&gelesen))
            ADD_FAILURE() << *fehler;
        return std::holds_alternative<Bestand>(gelesen) ? std::get<Bestand>(gelesen) : Bestand{};
    }

    // Every file's entry with a version names the checksum of the bytes of the copy in that backup folder; one
    // whose version a record of an earlier form names, and one without version, names none.
    void PruefeSummen(const Bestand& b) {
        const bool erstesOhne = Satz(Erster).Version < Bestandsversion;
        for (const Bestandseintrag& e : b.Eintraege) {
            if (e.Art != Eintragsart::Datei)
                continue;
            if (e.Ort == OrtFehlt || (erstesOhne && e.Ort == Erster)) {
                EXPECT_FALSE(e.Inhalt) << e.Pfad;
                continue;
            }
            std::string datei = e.Pfad;
            std::replace(datei.begin(), datei.end(), '/', '\\');
            const std::string inhalt = LiesDatei(Posix("D:\\" + e.Ort + "\\Q\\" + datei));
            Summierer summe;
            summe.Dazu(inhalt.data(), inhalt.size());
            ASSERT_TRUE(e.Inhalt) << e.Pfad << " in " << b.Ordner;
            EXPECT_EQ(InhaltssummeText(*e.Inhalt), InhaltssummeText(summe.Summe())) << e.Pfad << " in " << b.Ordner;
        }
    }

public:
    // For a row's step between the runs: the first record rewritten in form 3, as an earlier version wrote it: its
    // entries without checksums.
    void AlsForm3() {
        const fs::path datei = Posix("D:\\" + Erster + "\\" + Bestandsdateiname(0));
        std::istringstream ein(LiesDatei(datei));
        std::string rumpf, zeile;
        std::size_t zeilen = 0;
        while (std::getline(ein, zeile) && !zeile.starts_with("ende ")) {
            if (zeilen++ == 0) {
                zeile = "tresor-ix-bestand 3";
            } else if (zeile.size() > 2 && zeile[1] == ' ' &&
                       std::string_view("ODV").find(zeile[0]) != std::string_view::npos) {
                std::size_t anfang = 0;
                for (int feld = 0; feld < 10; ++feld)
                    anfang = zeile.find(' ', anfang) + 1;
                zeile.erase(anfang, zeile.find(' ', anfang) + 1 - anfang);
            }
            rumpf += zeile + "\n";
        }
        char pruefsumme[17];
        std::snprintf(pruefsumme, sizeof pruefsumme, "%016llx", static_cast<unsigned long long>(Fnv1a(rumpf)));
        SchreibeDatei(datei, rumpf + "ende " + std::to_string(zeilen - 5) + " " + pruefsumme + "\n");
    }
};

// What a row expects of an entry of the second run's record: its path and where its version lives ("1": the
// first backup, "2": the second, "fehlt", "-" for a folder).
using Erwartet = std::vector<std::pair<std::string, std::string>>;

struct Fensterfall {
    std::string Name;
    std::function<void(Bestandsfenster&)> Vorher;   // before the first run
    std::function<void(Bestandsfenster&)> Zwischen; // between the runs
    std::vector<std::string> Bits;                  // files given their archive bit again for the second run
    std::size_t Fenster = Bestandsliste::Fenstergroesse;
    std::string Scheitert;                          // this copy is gone when its batch is marked
    std::string Halt;                               // the run is stopped once this copy returned
    Erwartet Eintraege;                             // in the record's order
    std::set<std::set<std::string>> Gruppen;        // the hard-link groups (every entry of a number)
    int Syncs = -1;                                 // flushes of the second run, where it matters
    std::function<void(Bestandsfenster&)> Waehrend; // in the second run, once its first copy is marked
};

TEST_F(Bestandsfenster, TheRecordIsWholeAndInTheWalksOrderWhateverComesLate) {
    const Erwartet alleAlt = {{".", "-"},        {"a1.txt", "1"},   {"a2.txt", "1"}, {"a3.txt", "1"},  {"B", "-"},
                              {"B/b1.txt", "1"}, {"B/b2.txt", "1"}, {"C", "-"},      {"C/c1.txt", "1"}};
    auto mit = [&](std::map<std::string, std::string> anders) {
        Erwartet e = alleAlt;
        for (auto& [pfad, ort] : e)
            if (anders.contains(pfad))
                ort = anders[pfad];
        return e;
    };
    // With a link "v" beside a3.txt, whose version lives at `ort`, after a1.txt was backed up again.
    auto mitVerweis = [&](const std::string& ort) {
        Erwartet e = mit({{"a1.txt", "2"}});
        e.insert(e.begin() + 4, {"v", ort});
        return e;
    };
    const std::vector<Fensterfall> faelle = {
        {"KopieScheitertNachSpaeterenEintraegen",
         {},
         {},
         {"a1.txt", "a2.txt", "a3.txt"},
         Bestandsliste::Fenstergroesse,
         "a1.txt",
         "",
         // a1's copy failed: the first backup holds its state; a2 and a3 came after it and stay in place.
         mit({{"a2.txt", "2"}, {"a3.txt", "2"}}),
         {},
         1,
         {}},
        {"KopieScheitertOhneFruehereSicherung",
         {},
         [](Bestandsfenster& t) { fs::remove(t.Posix("D:\\" + Erster + "\\Q\\a1.txt")); },
         {"a1.txt", "a2.txt"},
         Bestandsliste::Fenstergroesse,
         "a1.txt",
         "",
         mit({{"a1.txt", "fehlt"}, {"a2.txt", "2"}}),
         {},
         1,
         {}},
        {"FensterLaeuftVoll",
         {},
         {},
         {"a1.txt", "B\\b2.txt"},
         3,
         "",
         "",
         mit({{"a1.txt", "2"}, {"B/b2.txt", "2"}}),
         {},
         2,
         {}},
        {"FensterReichtAus",
         {},
         {},
         {"a1.txt", "B\\b2.txt"},
         Bestandsliste::Fenstergroesse,
         "",
         "",
         mit({{"a1.txt", "2"}, {"B/b2.txt", "2"}}),
         {},
         1,
         {}},
        {"HartlinksUeberEineLeerung",
         [](Bestandsfenster& t) {
             fs::create_hard_link(t.Posix("C:\\Q\\a1.txt"), t.Posix("C:\\Q\\C\\h.txt"));
             t.Schreibe("C:\\aussen\\x.txt", "x");
             fs::create_hard_link(t.Posix("C:\\aussen\\x.txt"), t.Posix("C:\\Q\\B\\l.txt"));
         },
         {},
         {"a1.txt", "a2.txt", "a3.txt", "B\\b1.txt", "B\\b2.txt", "B\\l.txt", "C\\c1.txt", "C\\h.txt"},
         2,
         "",
         "",
         {{".", "-"},
          {"a1.txt", "2"},
          {"a2.txt", "2"},
          {"a3.txt", "2"},
          {"B", "-"},
          {"B/b1.txt", "2"},
          {"B/b2.txt", "2"},
          {"B/l.txt", "2"},
          {"C", "-"},
          {"C/c1.txt", "2"},
          {"C/h.txt", "2"}},
         // The names of one file share a number; a file whose other name is outside the source has one alone.
         {{"a1.txt", "C/h.txt"}, {"B/l.txt"}},
         -1,
         {}},
        // The newest record is of the form before checksums: the files left name none (none is made up for them), the
        // file copied again names its copy's.
        {"FruehererBestandOhneSummen",
         {},
         [](Bestandsfenster& t) { t.AlsForm3(); },
         {"a1.txt"},
         Bestandsliste::Fenstergroesse,
         "",
         "",
         mit({{"a1.txt", "2"}}),
         {},
         1,
         {}},
        {"AbbruchMittenImFenster",
         {},
         {},
         {"a1.txt", "a3.txt", "B\\b2.txt"},
         Bestandsliste::Fenstergroesse,
         "",
         "a3.txt",
         // b2 was not reached: its version is the one the first record names.
         mit({{"a1.txt", "2"}, {"a3.txt", "2"}}),
         {},
         -1,
         {}},
        // Copies of files whose bits are clear, gone from the first backup since: the files are copied again (their
        // versions would be missing), while the copies beside them in the same folders are still taken.
        {"FruehereKopieEntfernt",
         {},
         [](Bestandsfenster& t) { fs::remove(t.Posix("D:\\" + Erster + "\\Q\\B\\b1.txt")); },
         {"a1.txt"},
         Bestandsliste::Fenstergroesse,
         "",
         "",
         mit({{"a1.txt", "2"}, {"B/b1.txt", "2"}}),
         {},
         1,
         {}},
        // A copy cut short on the target (a damaged stick, a hand in the backup): no version of the file, which
        // is copied again rather than left to a restore that would refuse it.
        {"FruehereKopieGekuerzt",
         {},
         [](Bestandsfenster& t) { fs::resize_file(t.Posix("D:\\" + Erster + "\\Q\\B\\b2.txt"), 1); },
         {"a1.txt"},
         Bestandsliste::Fenstergroesse,
         "",
         "",
         mit({{"a1.txt", "2"}, {"B/b2.txt", "2"}}),
         {},
         1,
         {}},
        {"FruehereKopieDurchOrdnerErsetzt",
         {},
         [](Bestandsfenster& t) {
             fs::remove(t.Posix("D:\\" + Erster + "\\Q\\a2.txt"));
             fs::create_directory(t.Posix("D:\\" + Erster + "\\Q\\a2.txt"));
         },
         {"a1.txt"},
         Bestandsliste::Fenstergroesse,
         "",
         "",
         mit({{"a1.txt", "2"}, {"a2.txt", "2"}}),
         {},
         1,
         {}},
        // A link of the copy's size in its place, and a folder of copies that became a link to them elsewhere: no
        // link is followed or taken for the file: the files are copied again.
        {"FruehereKopieDurchVerweisErsetzt",
         {},
         [](Bestandsfenster& t) {
             const fs::path kopie = t.Posix("D:\\" + Erster + "\\Q\\a2.txt");
             const auto groesse = fs::file_size(kopie);
             fs::remove(kopie);
             fs::create_symlink(std::string(groesse, 'x'), kopie);
         },
         {"a1.txt"},
         Bestandsliste::Fenstergroesse,
         "",
         "",
         mit({{"a1.txt", "2"}, {"a2.txt", "2"}}),
         {},
         1,
         {}},
        {"FruehererKopienordnerDurchVerweisErsetzt",
         {},
         [](Bestandsfenster& t) {
             const fs::path ordner = t.Posix("D:\\" + Erster + "\\Q\\B");
             fs::rename(ordner, t.Posix("D:\\B-woanders"));
             fs::create_directory_symlink(t.Posix("D:\\B-woanders"), ordner);
         },
         {"a1.txt"},
         Bestandsliste::Fenstergroesse,
         "",
         "",
         mit({{"a1.txt", "2"}, {"B/b1.txt", "2"}, {"B/b2.txt", "2"}}),
         {},
         1,
         {}},
        {"FruehererKopienordnerEntfernt",
         {},
         [](Bestandsfenster& t) { fs::remove_all(t.Posix("D:\\" + Erster + "\\Q\\C")); },
         {"a1.txt"},
         Bestandsliste::Fenstergroesse,
         "",
         "",
         mit({{"a1.txt", "2"}, {"C/c1.txt", "2"}}),
         {},
         1,
         {}},
        {"AbbruchImUnterordnerWoEinOrdnerZurDateiWurde",
         {},
         [](Bestandsfenster& t) {
             fs::remove_all(t.Posix("C:\\Q\\C"));
             t.Schreibe("C:\\Q\\C", "nun eine Datei");
         },
         {"B\\b1.txt"},
         Bestandsliste::Fenstergroesse,
         "",
         "B\\b1.txt",
         // The file C was met: the earlier record's folder C is not taken, nor what it held.
         {{".", "-"},
          {"C", "2"},
          {"a1.txt", "1"},
          {"a2.txt", "1"},
          {"a3.txt", "1"},
          {"B", "-"},
          {"B/b1.txt", "2"},
          {"B/b2.txt", "1"}},
         {},
         -1,
         {}},
        // A link the second run leaves takes its version from the first record as the run's index read it, held
        // open since the run began: that record is read once, and the link keeps its exact state. The record
        // renamed away meanwhile would leave a second reading nothing to find.
        {"VerweisAusDemIndex",
         [](Bestandsfenster& t) { fs::create_symlink("a1.txt", t.Posix("C:\\Q\\v")); },
         {},
         {"a1.txt"},
         Bestandsliste::Fenstergroesse,
         "",
         "",
         mitVerweis("1"),
         {},
         1,
         [](Bestandsfenster& t) {
             const fs::path ordner = t.Posix("D:\\" + Erster);
             fs::rename(ordner / Bestandsdateiname(0), ordner / "weg.txt");
         }},
        // The first backup's copy of the link now leads elsewhere (a target of the same length): not its version,
        // and the link is copied again.
        {"FruehererVerweisUmgelenkt",
         [](Bestandsfenster& t) { fs::create_symlink("a1.txt", t.Posix("C:\\Q\\v")); },
         [](Bestandsfenster& t) {
             fs::remove(t.Posix("D:\\" + Erster + "\\Q\\v"));
             fs::create_symlink("b1.txt", t.Posix("D:\\" + Erster + "\\Q\\v"));
         },
         {"a1.txt"},
         Bestandsliste::Fenstergroesse,
         "",
         "",
         mitVerweis("2"),
         {},
         1,
         {}},
    };
    for (const Fensterfall& f : faelle) {
        SCOPED_TRACE(f.Name);
        for (const char* laufwerk : {"C:\\", "D:\\"}) {
            fs::remove_all(Posix(laufwerk));
            fs::create_directories(Posix(laufwerk));
        }
        SetUp();
        if (f.Vorher)
            f.Vorher(*this);
        uhr.zeit = {13, 42, 27};
        sicherung.bestandsfenster = Bestandsliste::Fenstergroesse;
        nachKopie = nullptr;
        vorher = nullptr;
        fenster.abbruch = nullptr;
        sicherung.Sichern_Click();
        ASSERT_EQ(sicherung.ausgang, Ausgang::Erfolg);
        PruefeSummen(Satz(Erster));

        if (f.Zwischen)
            f.Zwischen(*this);
        for (const std::string& d : f.Bits)
            SetzeWert("C:\\Q\\" + d, 32);
        uhr.zeit = {13, 42, 28};
        sicherung.bestandsfenster = f.Fenster;
        protokoll.clear();
        bool waehrend = false;
        vorher = [&](const std::string& zeile) {
            if (!f.Scheitert.empty() && zeile.starts_with("SetFileAttr C:\\Q\\" + f.Scheitert + " "))
                fs::remove(Posix("D:\\" + Zweiter + "\\Q\\" + f.Scheitert));
            if (f.Waehrend && !waehrend && zeile.starts_with("SetFileAttr ")) {
                waehrend = true;
                f.Waehrend(*this);
            }
        };
        bool halt = false;
        nachKopie = [&](const Datei& d, const Pfad&) { halt = halt || d.Path == "C:\\Q\\" + f.Halt; };
        fenster.abbruch = [&] { return halt; };
        sicherung.Sichern_Click();
        EXPECT_EQ(sicherung.ausgang, !f.Halt.empty()        ? Ausgang::Abgebrochen
                                     : !f.Scheitert.empty() ? Ausgang::Fehlschlag
                                                            : Ausgang::Erfolg);

        const Bestand b = Satz(Zweiter);
        EXPECT_EQ(b.Abgebrochen, !f.Halt.empty());
        Erwartet gelesen;
        std::map<std::uint64_t, std::set<std::string>> gruppen;
        for (const Bestandseintrag& e : b.Eintraege) {
            const std::string ort = e.Ort == Erster ? "1" : e.Ort == Zweiter ? "2" : e.Ort;
            gelesen.emplace_back(e.Pfad, ort);
            if (e.Verbund != 0)
                gruppen[e.Verbund].insert(e.Pfad);
        }
        EXPECT_EQ(gelesen, f.Eintraege);
        // A file left as it was keeps the exact state the first record holds, so that the next run finds it held.
        std::map<std::string, std::int64_t> ctimes;
        if (f.Waehrend) {
            const fs::path ordner = Posix("D:\\" + Erster);
            fs::rename(ordner / "weg.txt", ordner / Bestandsdateiname(0));
        }
        for (const Bestandseintrag& e : Satz(Erster).Eintraege)
            ctimes[e.Pfad] = e.CtimeNs;
        for (const Bestandseintrag& e : b.Eintraege) {
            std::string datei = e.Pfad;
            std::replace(datei.begin(), datei.end(), '/', '\\');
            if (e.Ort == Erster && (e.Art == Eintragsart::Datei || e.Art == Eintragsart::Verweis) &&
                std::find(f.Bits.begin(), f.Bits.end(), datei) == f.Bits.end()) {
                EXPECT_NE(e.CtimeNs, 0) << e.Pfad;
                EXPECT_EQ(e.CtimeNs, ctimes[e.Pfad]) << e.Pfad;
            }
        }
        // A file's checksum goes with its version: of the copy this run made, or as the first record names it.
        PruefeSummen(b);
        std::set<std::set<std::string>> alleGruppen;
        for (const auto& [nummer, namen] : gruppen)
            alleGruppen.insert(namen);
        EXPECT_EQ(alleGruppen, f.Gruppen);
        if (f.Syncs >= 0) {
            EXPECT_EQ(Zaehle("Sync "), static_cast<std::size_t>(f.Syncs));
        }
        EXPECT_EQ(waehrend, static_cast<bool>(f.Waehrend));
        // No temporary file stays behind.
        for (const auto& e : fs::directory_iterator(Posix("D:\\" + Zweiter)))
            EXPECT_FALSE(e.path().filename().string().ends_with(".tmp")) << e.path();
    }
}

// The entry of a copied file holds the state its copy was taken from: the run's own look where the copy was taken
// from that very state, else the file as it is after its copy (a change of mode or owner in between moves the ctime
// and makes the copy be taken again).
TEST_F(Bestandsfenster, ACopiedFilesEntryHoldsTheModeItsCopyWasTakenWith) {
    struct Fall {
        const char* Name;
        fs::perms Waehrend; // given to a1.txt while its first copy is made; none: left alone
        std::uint32_t Modus;
    };
    for (const Fall& fall : {Fall{"unveraendert", fs::perms::none, 0644}, Fall{"chmod", fs::perms(0600), 0600},
                             Fall{"chmod nur Gruppe", fs::perms(0604), 0604}}) {
        SCOPED_TRACE(fall.Name);
        fs::remove_all(Posix("D:\\" + Erster));
        fs::permissions(Posix("C:\\Q\\a1.txt"), fs::perms(0644));
        for (const char* d : {"a1.txt", "a2.txt", "a3.txt", "B\\b1.txt", "B\\b2.txt", "C\\c1.txt"})
            SetzeWert(std::string("C:\\Q\\") + d, 32);
        kopierhaken = [&](const Pfad& p, int versuch) {
            if (p == "C:\\Q\\a1.txt" && versuch == 1 && fall.Waehrend != fs::perms::none)
                fs::permissions(Posix("C:\\Q\\a1.txt"), fall.Waehrend);
        };
        sicherung.Sichern_Click();
        kopierhaken = nullptr;
        EXPECT_EQ(sicherung.ausgang, Ausgang::Erfolg);
        const Bestand satz = Satz(Erster);
        const auto a1 = std::find_if(satz.Eintraege.begin(), satz.Eintraege.end(),
                                     [](const Bestandseintrag& e) { return e.Pfad == "a1.txt"; });
        ASSERT_NE(a1, satz.Eintraege.end());
        EXPECT_EQ(a1->Modus, fall.Modus);
        EXPECT_EQ(a1->Ort, Erster);
        struct stat st {};
        ASSERT_EQ(::stat(Posix("C:\\Q\\a1.txt").c_str(), &st), 0);
        EXPECT_EQ(a1->Inode, static_cast<std::uint64_t>(st.st_ino));
    }
}

// The copy walk's looks at a folder's files are taken ahead on another thread: a file rewritten right after its look
// is taken as that look saw it, as if the walk had passed a moment earlier. A file left is recorded in the state
// looked at, with the version of exactly that state, and the next run backs it up; a file copied is recorded as its
// copy holds it.
TEST_F(Bestandsfenster, AFileRewrittenAfterTheCopyWalksLookIsRecordedAsThatLookOrItsCopySawIt) {
    const std::string Dritter = "Sicherung-2002-02-07--13-42-29";
    struct Fall {
        const char* Name;
        bool Bit;        // v05.txt is to be copied anyway
        std::string Ort; // of its entry in the second record
        std::int64_t Groesse;
        std::string Danach; // the place of its entry in the third record
    };
    const Fall faelle[] = {{"gelassen", false, Erster, 7, Dritter}, {"kopiert", true, Zweiter, 12, Zweiter}};
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Name);
        for (const char* laufwerk : {"C:\\", "D:\\"}) {
            fs::remove_all(Posix(laufwerk));
            fs::create_directories(Posix(laufwerk));
        }
        SetUp();
        // Enough files for the other thread to look ahead in their folder.
        for (int i = 0; i < 12; ++i)
            Schreibe("C:\\Q\\V\\v" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".txt", "Inhalt.");
        uhr.zeit = {13, 42, 27};
        sicherung.Sichern_Click();
        ASSERT_EQ(sicherung.ausgang, Ausgang::Erfolg);

        Schreibe("C:\\Q\\a1.txt", "neu"); // the scan finds it first
        if (f.Bit)
            SetzeWert("C:\\Q\\V\\v05.txt", 32);
        std::atomic<bool> kopiergang = false;
        std::mutex m;
        std::condition_variable cv;
        bool gesehen = false;
        // The copy walk asks for V's first file only once the other thread has looked at v05.txt, which is rewritten
        // right after that look, and stored that look.
        vorher = [&](const std::string& zeile) {
            if (zeile.starts_with("MakeDir D:\\" + Zweiter))
                kopiergang = true;
            if (kopiergang && zeile == "GetFile C:\\Q\\V\\v00.txt") {
                std::unique_lock<std::mutex> l(m);
                // Only a guard against a walk that never looks ahead, which fails below.
                cv.wait_for(l, std::chrono::seconds(60), [&] { return gesehen; });
            }
        };
        // A look is stored for the walk as the other thread takes the next entry: once it looked at v07.txt, its
        // look at v05.txt waits for the walk.
        blickhaken = [&](const std::string& name) {
            if (!kopiergang)
                return;
            if (name == "v05.txt")
                SchreibeDatei(Posix("C:\\Q\\V\\v05.txt"), "neuer Inhalt");
            if (name != "v07.txt")
                return;
            {
                const std::lock_guard<std::mutex> l(m);
                gesehen = true;
            }
            cv.notify_all();
        };
        uhr.zeit = {13, 42, 28};
        sicherung.Sichern_Click();
        vorher = nullptr;
        blickhaken = nullptr;
        ASSERT_EQ(sicherung.ausgang, Ausgang::Erfolg);
        EXPECT_TRUE(gesehen);
        auto eintrag = [&](const std::string& ordner) {
            const Bestand satz = Satz(ordner);
            const auto e = std::find_if(satz.Eintraege.begin(), satz.Eintraege.end(),
                                        [](const Bestandseintrag& e) { return e.Pfad == "V/v05.txt"; });
            return e != satz.Eintraege.end() ? *e : Bestandseintrag{};
        };
        const Bestandseintrag zweiter = eintrag(Zweiter);
        EXPECT_EQ(zweiter.Ort, f.Ort);
        EXPECT_EQ(zweiter.Groesse, f.Groesse);
        if (f.Ort == Zweiter) {
            EXPECT_EQ(LiesDatei(Posix("D:\\" + Zweiter + "\\Q\\V\\v05.txt")), "neuer Inhalt");
        }

        uhr.zeit = {13, 42, 29};
        sicherung.Sichern_Click();
        if (f.Danach == Dritter) {
            ASSERT_EQ(sicherung.ausgang, Ausgang::Erfolg);
            const Bestandseintrag dritter = eintrag(Dritter);
            EXPECT_EQ(dritter.Ort, Dritter);
            EXPECT_EQ(dritter.Groesse, 12);
        } else {
            // Nothing changed since: nothing to back up.
            EXPECT_EQ(sicherung.ausgang, Ausgang::NichtsGefunden);
        }
    }
}

// A run that ends on an error of the target (not of a source entry) drops the record it was writing: the
// backup folder holds no record and no temporary file, whether the error comes before or after entries were
// written out.
TEST_F(Bestandsfenster, ARunEndedByAnErrorLeavesNoTemporaryRecord) {
    for (const std::string ordner : {"B", "C"}) {
        SCOPED_TRACE(ordner);
        for (const char* laufwerk : {"C:\\", "D:\\"}) {
            fs::remove_all(Posix(laufwerk));
            fs::create_directories(Posix(laufwerk));
        }
        SetUp();
        vorher = [&](const std::string& zeile) {
            if (zeile == "MakeDir D:\\" + Erster + "\\Q\\" + ordner)
                throw FsFehler("MakeDir", "D:\\" + Erster + "\\Q\\" + ordner,
                               std::make_error_code(std::errc::io_error));
        };
        EXPECT_THROW(sicherung.Sichern_Click(), FsFehler);
        vorher = nullptr;
        std::size_t uebrig = 0;
        for (const auto& e : fs::directory_iterator(Posix("D:\\" + Erster))) {
            const std::string name = e.path().filename().string();
            uebrig += name.ends_with(".tmp") || IstBestandsdateiname(name);
        }
        EXPECT_EQ(uebrig, 0u);
    }
}

} // namespace
} // namespace tresor::test
