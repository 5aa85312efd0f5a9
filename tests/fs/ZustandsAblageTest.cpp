// The user's state file of a file system that keeps no records itself (exFAT through FUSE, some shares): a
// database read a record at a time and written a batch at a time. A batch counts once committed, a kill or a
// copy taken amid it leaves the records of before, a damaged file holds nothing, the earlier text form is
// taken over, and neither the memory nor the bytes written per batch grow with the records kept. The store
// is driven on a plain folder standing for the file system's mount point; the program's runs on a real
// exFAT stick are in tests/zuverlaessigkeit/MedienTest.cpp.

#include "fs/ablage/ZustandsAblage.h"
#include "fs/ablage/Zustandsdatei.h"
#include "tests/Testhilfen.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;
using posix::Archivvermerk;
using posix::Ort;
using posix::ZustandsAblage;

Archivvermerk Vermerk(std::int64_t zeit, std::int64_t groesse) {
    Archivvermerk v;
    v.Stand.MtimeNs = zeit;
    v.Stand.CtimeNs = zeit;
    v.Stand.Groesse = groesse;
    v.SchreibzeitNs = zeit + 1'000'000'000;
    v.Name = 42;
    return v;
}

// A name of about 100 bytes, in the order a walk meets them.
std::string LangerName(int i) {
    char name[128];
    (void)std::snprintf(name, sizeof name,
                        "DCIM/100MEDIA/ein recht langer Name einer Aufnahme von der Karte/IMG_%07d.JPG", i);
    return name;
}

mode_t Modus(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
}

class Zustand : public ::testing::Test {
protected:
    TempOrdner tmp;
    fs::path karte = tmp / "karte";
    fs::path ordner = tmp / "zustand" / "tresor-ix";
    fs::path datei = ordner / "karte.zustand";

    Zustand() { fs::create_directories(karte); }

    std::unique_ptr<ZustandsAblage> Ablage(const fs::path& d) const {
        return std::make_unique<ZustandsAblage>(d.string(), karte.string());
    }
    std::unique_ptr<ZustandsAblage> Ablage() const { return Ablage(datei); }
    // A file of the card (its record is read only for an entry that is there).
    std::string Datei(const std::string& name) const {
        SchreibeDatei(karte / name, "x");
        return (karte / name).string();
    }
    // Runs `stapel` on the store at `d` in a child process that ends amid it, never committed nor closed.
    void OhneAbschluss(const fs::path& d, const std::function<bool(ZustandsAblage&)>& stapel) const {
        const pid_t kind = ::fork();
        ASSERT_GE(kind, 0);
        if (kind == 0) {
            auto a = Ablage(d);
            ::_exit(stapel(*a) ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(kind, &status, 0), kind);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    static bool Schreibe(ZustandsAblage& a, const std::string& pfad, const Archivvermerk& v) {
        return a.SchreibeVermerk(Ort(pfad), v);
    }
    static std::optional<std::int64_t> Zeit(ZustandsAblage& a, const std::string& pfad) {
        const auto v = a.LiesVermerk(Ort(pfad));
        if (!v)
            return std::nullopt;
        return v->Stand.MtimeNs;
    }
};

enum class Ende { Festgeschrieben, Verworfen, Getoetet, KopieMittendrin };

TEST_F(Zustand, ABatchCountsOnlyOnceCommittedAndAKillAmidItLeavesTheRecordsOfBefore) {
    struct Fall {
        const char* name;
        Ende ende;
    };
    for (const Fall& f :
         {Fall{"committed", Ende::Festgeschrieben}, Fall{"dropped", Ende::Verworfen},
          Fall{"killed amid the batch", Ende::Getoetet}, Fall{"files copied amid the batch", Ende::KopieMittendrin}}) {
        SCOPED_TRACE(f.name);
        fs::remove_all(ordner);
        const std::string alt = Datei("alt.jpg");
        const std::string neu = Datei("neu.jpg");
        {
            auto a = Ablage();
            ASSERT_TRUE(Schreibe(*a, alt, Vermerk(1000, 1)));
            ASSERT_TRUE(a->Festschreiben());
        }
        EXPECT_EQ(Modus(datei), 0600u);
        EXPECT_EQ(Modus(ordner), 0700u);
        EXPECT_EQ(Modus(tmp / "zustand"), 0700u);

        // The next batch rewrites the one record, adds another and many more: more than the pages kept in
        // memory, so that pages go to the file before the commit.
        const auto zweiter = [&](ZustandsAblage& a) {
            bool ok = Schreibe(a, alt, Vermerk(2000, 1)) && Schreibe(a, neu, Vermerk(2000, 2));
            for (int i = 0; ok && i < 30000; ++i)
                ok = Schreibe(a, (karte / LangerName(i)).string(), Vermerk(2000 + i, 3));
            return ok;
        };
        fs::path gelesen = datei;
        if (f.ende == Ende::Getoetet) {
            OhneAbschluss(datei, zweiter);
            EXPECT_TRUE(fs::exists(datei.string() + "-journal")) << "the kill left the batch's journal";
        } else {
            auto a = Ablage();
            ASSERT_TRUE(zweiter(*a));
            EXPECT_EQ(Zeit(*a, neu), 2000) << "the open batch reads its own records";
            if (f.ende == Ende::KopieMittendrin) {
                const fs::path kopie = tmp / "kopie";
                fs::create_directories(kopie);
                ASSERT_TRUE(fs::exists(datei.string() + "-journal"));
                fs::copy_file(datei, kopie / "karte.zustand");
                fs::copy_file(datei.string() + "-journal", kopie / "karte.zustand-journal");
                gelesen = kopie / "karte.zustand";
            }
            if (f.ende == Ende::Festgeschrieben) {
                ASSERT_TRUE(a->Festschreiben());
            }
        }
        auto danach = Ablage(gelesen);
        const bool neuGilt = f.ende == Ende::Festgeschrieben;
        EXPECT_EQ(Zeit(*danach, alt), neuGilt ? 2000 : 1000);
        EXPECT_EQ(Zeit(*danach, neu), neuGilt ? std::optional<std::int64_t>(2000) : std::nullopt);
        EXPECT_FALSE(fs::exists(gelesen.string() + "-journal")) << "played back or removed at the commit";
        fs::remove_all(tmp / "kopie");
    }
}

TEST_F(Zustand, ADamagedFileHoldsNothingAndIsReplacedAtTheFirstWrite) {
    enum class Schaden { HalbGekuerzt, NachErsterSeite, Muell, TextZerrissen, Ordner, Verweis };
    struct Fall {
        const char* name;
        Schaden schaden;
    };
    const std::string karteDatei = Datei("IMG_0001.JPG");
    for (const Fall& f :
         {Fall{"cut in half", Schaden::HalbGekuerzt}, Fall{"cut after a page", Schaden::NachErsterSeite},
          Fall{"garbage", Schaden::Muell}, Fall{"torn text form", Schaden::TextZerrissen},
          Fall{"a folder in its place", Schaden::Ordner}, Fall{"a link in its place", Schaden::Verweis}}) {
        SCOPED_TRACE(f.name);
        fs::remove_all(ordner);
        fs::remove_all(tmp / "anderswo");
        {
            auto a = Ablage();
            ASSERT_TRUE(Schreibe(*a, karteDatei, Vermerk(1000, 1)));
            for (int i = 0; i < 2000; ++i)
                ASSERT_TRUE(Schreibe(*a, (karte / LangerName(i)).string(), Vermerk(i, 3)));
            ASSERT_TRUE(a->Festschreiben());
        }
        const std::string inhalt = LiesDatei(datei);
        ASSERT_GT(inhalt.size(), 3 * 4096u);
        const fs::path ziel = tmp / "anderswo" / "fremd.zustand";
        switch (f.schaden) {
        case Schaden::HalbGekuerzt:
            fs::resize_file(datei, inhalt.size() / 2);
            break;
        case Schaden::NachErsterSeite:
            fs::resize_file(datei, 4096);
            break;
        case Schaden::Muell: {
            std::string muell = inhalt;
            for (std::size_t i = 100; i < muell.size(); i += 7)
                muell[i] = static_cast<char>(muell[i] ^ 0x5a);
            std::ofstream(datei, std::ios::binary | std::ios::trunc) << muell;
            break;
        }
        case Schaden::TextZerrissen: {
            const std::string text =
                posix::ZustandsText({{"IMG_0001.JPG", "2 1000 1 0 1000 1000001000 000000000000002a"}});
            std::ofstream(datei, std::ios::binary | std::ios::trunc) << text.substr(0, text.size() - 3);
            break;
        }
        case Schaden::Ordner:
            fs::remove(datei);
            fs::create_directories(datei / "drin");
            break;
        case Schaden::Verweis:
            fs::create_directories(ziel.parent_path());
            fs::rename(datei, ziel);
            fs::create_symlink(ziel, datei);
            break;
        }
        auto a = Ablage();
        EXPECT_EQ(Zeit(*a, karteDatei), std::nullopt) << "nothing known: the file reads as archive set";
        const bool schreibbar = f.schaden != Schaden::Ordner;
        EXPECT_EQ(Schreibe(*a, karteDatei, Vermerk(3000, 1)), schreibbar);
        EXPECT_TRUE(a->Festschreiben());
        a.reset();
        EXPECT_EQ(Zeit(*Ablage(), karteDatei), schreibbar ? std::optional<std::int64_t>(3000) : std::nullopt);
        if (schreibbar) {
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(datei)));
            EXPECT_EQ(Modus(datei), 0600u);
        } else {
            EXPECT_TRUE(fs::is_directory(datei / "drin")) << "a folder in its place is left alone";
        }
        if (f.schaden == Schaden::Verweis) {
            EXPECT_EQ(LiesDatei(ziel), inhalt) << "what the link named is never written";
        }
    }
}

TEST_F(Zustand, AStateFileOfTheTextFormIsTakenOver) {
    const std::string eins = Datei("DCIM/100CANON/IMG_0001.JPG");
    const std::string zwei = Datei("DCIM/100CANON/IMG_0002.JPG");
    const std::string drei = Datei("Mit Leerzeichen und%.txt");
    // An earlier program may have written its text over a database that a kill left with its journal.
    const fs::path alt = tmp / "alt" / "karte.zustand";
    {
        auto a = Ablage(alt);
        ASSERT_TRUE(Schreibe(*a, eins, Vermerk(1, 1)) && a->Festschreiben());
    }
    OhneAbschluss(alt, [&](ZustandsAblage& a) {
        bool ok = true;
        for (int i = 0; ok && i < 30000; ++i)
            ok = Schreibe(a, (karte / LangerName(i)).string(), Vermerk(i, 3));
        return ok;
    });
    for (const bool journal : {false, true}) {
        fs::remove_all(ordner);
        fs::create_directories(ordner);
        fs::copy_file(TRESOR_TESTDATEN "/zustand-form1.zustand", datei);
        if (journal)
            fs::copy_file(alt.string() + "-journal", datei.string() + "-journal");
        for (int runde = 0; runde < 2; ++runde) {
            SCOPED_TRACE(std::string(journal ? "beside a journal left, " : "") +
                         (runde == 0 ? "taken over" : "read again"));
            auto a = Ablage();
            const auto v = a->LiesVermerk(Ort(eins));
            ASSERT_TRUE(v.has_value());
            EXPECT_EQ(v->Stand.MtimeNs, 1765188000123456789);
            EXPECT_EQ(v->Stand.Groesse, 4096);
            EXPECT_EQ(v->Name, 0x9f3c2a1b4d5e6f70u);
            EXPECT_EQ(Zeit(*a, zwei), 1765188002000000000);
            EXPECT_EQ(Zeit(*a, drei), 1700000000000000000);
            EXPECT_EQ(LiesDatei(datei).substr(0, 15), "SQLite format 3") << "the text file's place taken";
            EXPECT_EQ(Modus(datei), 0600u);
            EXPECT_EQ(std::distance(fs::directory_iterator(ordner), fs::directory_iterator()), 1);
        }
    }
}

TEST(Zustandsleser, TheTextFormReadInPiecesOfAnySizeGivesWhatTheWholeGives) {
    const posix::Zustandsbestand bestand = {
        {"DCIM/IMG_0001.JPG", "2 1 2 0 1 2 000000000000002a"},
        {"Zeilen\numbruch und %", "2 3 4 0 3 4 000000000000002b"},
        {std::string(3000, '\x01'), "2 5 6 0 5 6 000000000000002c"},
    };
    const std::string text = posix::ZustandsText(bestand);
    for (const std::size_t stueck : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{4096}, text.size()}) {
        SCOPED_TRACE(stueck);
        posix::Zustandsbestand gelesen;
        posix::Zustandsleser leser([&](std::string_view name, std::string_view vermerk) {
            gelesen.emplace(name, vermerk);
            return true;
        });
        bool gut = true;
        for (std::size_t i = 0; gut && i < text.size(); i += stueck)
            gut = leser.Lies(std::string_view(text).substr(i, stueck));
        EXPECT_TRUE(gut && leser.Ende());
        EXPECT_EQ(gelesen, bestand);
        // Without its last byte the same pieces hold nothing.
        posix::Zustandsleser kurz([](std::string_view, std::string_view) { return true; });
        for (std::size_t i = 0; i + 1 < text.size(); i += stueck)
            (void)kurz.Lies(std::string_view(text).substr(i, std::min(stueck, text.size() - 1 - i)));
        EXPECT_FALSE(kurz.Ende());
    }
}

// Heap in use by this process, the blocks handed out through the heap's own calls included.
std::size_t ImGebrauch() {
    const struct mallinfo2 m = ::mallinfo2();
    return m.uordblks + m.hblkhd;
}

// Bytes this process has written through system calls so far, or nothing where the kernel does not count.
std::optional<std::uint64_t> Geschrieben() {
    std::ifstream io("/proc/self/io");
    std::string wort;
    std::uint64_t wert = 0;
    while (io >> wort >> wert)
        if (wort == "wchar:")
            return wert;
    return std::nullopt;
}

TEST_F(Zustand, NeitherTheMemoryNorTheBytesWrittenPerBatchGrowWithTheRecordsKept) {
    constexpr int Stapel = 50;
    constexpr int JeStapel = 1000;
    std::vector<std::string> pfade;
    pfade.reserve(Stapel * JeStapel);
    std::size_t bytesJeStapel = 0;
    for (int i = 0; i < Stapel * JeStapel; ++i) {
        pfade.push_back((karte / LangerName(i)).string());
        if (i < JeStapel)
            bytesJeStapel += pfade.back().size() - karte.string().size() + 49;
    }
    auto a = Ablage();
    const std::size_t vorher = ImGebrauch();
    std::uint64_t letzterStapel = 0;
    for (int s = 0; s < Stapel; ++s) {
        const auto anfang = Geschrieben();
        for (int i = s * JeStapel; i < (s + 1) * JeStapel; ++i)
            ASSERT_TRUE(Schreibe(*a, pfade[static_cast<std::size_t>(i)], Vermerk(i, i)));
        ASSERT_TRUE(a->Festschreiben());
        if (const auto ende = Geschrieben(); anfang && ende)
            letzterStapel = *ende - *anfang;
    }
    const std::size_t wachstum = ImGebrauch() - std::min(vorher, ImGebrauch());
    EXPECT_LT(wachstum, 6u << 20) << "memory held after 50,000 records";
    if (letzterStapel > 0) {
        EXPECT_LT(letzterStapel, 8 * bytesJeStapel) << "the last batch writes about what it changes";
    }
    a.reset();
    EXPECT_EQ(Zeit(*Ablage(), pfade.front()), std::nullopt) << "no such file on the card";
    const std::string da = Datei(LangerName(Stapel * JeStapel - 1));
    EXPECT_EQ(Zeit(*Ablage(), da), Stapel * JeStapel - 1);
}

} // namespace
} // namespace tresor::test
