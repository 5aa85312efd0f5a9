// A restore and a check read the chosen point's record as a stream: their memory does not grow with the number
// of its entries; and records in the forms earlier versions wrote (version 1, and version 2 in another order
// than the walk's) are still restored and checked exactly.
#include "engine/bestand/Bestandsformat.h"
#include "tests/cli/Wiederherstellungstest.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <tuple>

namespace tresor::test {

namespace {

// The lines of a text, each without its "\n".
std::vector<std::string> Zeilen(const std::string& text) {
    std::vector<std::string> zeilen;
    std::istringstream ein(text);
    for (std::string z; std::getline(ein, z);)
        zeilen.push_back(z);
    return zeilen;
}

std::string LiesText(const fs::path& p) {
    std::ifstream ein(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(ein), {}};
}

// A record's lines by their place (forms 3 and 4): the head, the entries, the "E" and "X" lines, and the lines
// "kopiert", "lauf" and "summe" before the last.
struct Teile {
    std::vector<std::string> Kopf, Eintraege, Schluss;
    std::string Kopiert, Lauf, Summe;
};

Teile Zerlege(const std::string& text) {
    std::vector<std::string> zeilen = Zeilen(text);
    Teile t;
    t.Kopf.assign(zeilen.begin(), zeilen.begin() + 5);
    const std::size_t ende = zeilen.size() - 4;
    t.Kopiert = zeilen[ende];
    t.Lauf = zeilen[ende + 1];
    t.Summe = zeilen[ende + 2];
    for (std::size_t i = 5; i < ende; ++i)
        (zeilen[i].starts_with("E ") || zeilen[i].starts_with("X ") ? t.Schluss : t.Eintraege).push_back(zeilen[i]);
    return t;
}

// A text with its last line: the count of the lines after a head of `kopfzeilen` lines, and the checksum.
std::string MitSchluss(const std::vector<std::string>& zeilen, std::size_t kopfzeilen) {
    std::string text;
    for (const std::string& z : zeilen)
        text += z + "\n";
    char pruef[17];
    std::snprintf(pruef, sizeof pruef, "%016llx", static_cast<unsigned long long>(Fnv1a(text)));
    return text + "ende " + std::to_string(zeilen.size() - kopfzeilen) + " " + pruef + "\n";
}

// The path field of an entry line of form 2 or 3 (the 11th field).
std::string PfadFeld(const std::string& zeile) {
    std::size_t pos = 0;
    for (int feld = 0; feld < 10; ++feld)
        pos = zeile.find(' ', pos) + 1;
    return zeile.substr(pos, zeile.find(' ', pos) - pos);
}

// The forms of a record: as this version writes it; form 3 (no checksums of the content); form 2 ("kopiert" and
// "lauf" in the head, no "summe"), in the walk's order, and in the byte order of the paths, as it was written
// before the walk's order; form 1 (no "lauf", entries without inode, ctime and link group), in byte order.
enum class Form { Heute, Version3, Version2, Version2Byteordnung, Version1 };

// An entry line without its content's checksum (the 11th field).
std::string OhneInhalt(std::string z) {
    std::size_t anfang = 0;
    for (int feld = 0; feld < 10; ++feld)
        anfang = z.find(' ', anfang) + 1;
    z.erase(anfang, z.find(' ', anfang) + 1 - anfang);
    return z;
}

std::string InForm(const std::string& text, Form form) {
    if (form == Form::Heute)
        return text;
    Teile t = Zerlege(text);
    for (std::string& z : t.Eintraege)
        z = OhneInhalt(z);
    if (form == Form::Version3) {
        std::vector<std::string> zeilen = t.Kopf;
        zeilen[0] = "tresor-ix-bestand 3";
        zeilen.insert(zeilen.end(), t.Eintraege.begin(), t.Eintraege.end());
        zeilen.insert(zeilen.end(), t.Schluss.begin(), t.Schluss.end());
        zeilen.insert(zeilen.end(), {t.Kopiert, t.Lauf, t.Summe});
        return MitSchluss(zeilen, 5);
    }
    if (form != Form::Version2)
        std::stable_sort(t.Eintraege.begin(), t.Eintraege.end(),
                         [](const std::string& a, const std::string& b) { return PfadFeld(a) < PfadFeld(b); });
    std::vector<std::string> zeilen = t.Kopf;
    zeilen[0] = form == Form::Version1 ? "tresor-ix-bestand 1" : "tresor-ix-bestand 2";
    zeilen.push_back(t.Kopiert);
    if (form != Form::Version1)
        zeilen.push_back(t.Lauf);
    const std::size_t kopfzeilen = zeilen.size();
    for (std::string z : t.Eintraege) {
        if (form == Form::Version1) {
            // Without inode, ctime and link group (the 8th to 10th fields).
            std::size_t anfang = 0;
            for (int feld = 0; feld < 7; ++feld)
                anfang = z.find(' ', anfang) + 1;
            std::size_t ende = anfang;
            for (int feld = 0; feld < 3; ++feld)
                ende = z.find(' ', ende) + 1;
            z.erase(anfang, ende - anfang);
        }
        zeilen.push_back(z);
    }
    if (form != Form::Version1)
        zeilen.insert(zeilen.end(), t.Schluss.begin(), t.Schluss.end());
    return MitSchluss(zeilen, kopfzeilen);
}

struct Formfall {
    const char* name;
    Form form;
};

class FruehereFormen : public Kettentest, public ::testing::WithParamInterface<Formfall> {};

TEST_P(FruehereFormen, WerdenGenauWiederhergestelltUndGeprueft) {
    Kette();
    for (const std::string& s : staende) {
        const fs::path datei = Sicherungsordner(s) / "tresor-ix-bestand.txt";
        const std::string neu = InForm(LiesText(datei), GetParam().form);
        fs::permissions(datei, fs::perms::owner_write, fs::perm_options::add);
        SchreibeDatei(datei, neu);
    }
    for (std::size_t i = 0; i < staende.size(); ++i) {
        SCOPED_TRACE(staende[i]);
        const fs::path nach = temp / "C" / ("wieder" + std::to_string(i));
        EXPECT_EQ(Wiederherstellen(staende[i], nach), 0) << fehler.str();
        EXPECT_EQ(Unterschiede(schnappschuesse[i], Schnappe(nach)), "");
        EXPECT_EQ(Pruefen(staende[i]), 0) << fehler.str();
        EXPECT_NE(aus.str().find("ist vollständig wiederherstellbar"), std::string::npos) << aus.str();
    }
}

INSTANTIATE_TEST_SUITE_P(Bestand, FruehereFormen,
                         ::testing::Values(Formfall{"Heute", Form::Heute}, Formfall{"Version3", Form::Version3},
                                           Formfall{"Version2", Form::Version2},
                                           Formfall{"Version2Byteordnung", Form::Version2Byteordnung},
                                           Formfall{"Version1", Form::Version1}),
                         [](const auto& info) { return std::string(info.param.name); });

// A change of the source after its backup, and the lines the check with the source names it by.
struct Quellfall {
    const char* name;
    std::function<void(const fs::path&)> aendere;
    std::vector<std::string> zeilen; // sorted
};

class MitQuelle : public Wiederherstellungstest,
                  public ::testing::WithParamInterface<std::tuple<Quellfall, Formfall>> {};

TEST_P(MitQuelle, NenntJedeAbweichung) {
    const auto& [fall, form] = GetParam();
    Schreibe(Q() / "a.txt", "a");
    Schreibe(Q() / "ordner" / "b.txt", "b");
    Schreibe(Q() / "ordner" / "tief" / "c.txt", "c");
    Schreibe(Q() / "wird-ordner", "w");
    Schreibe(Q() / "wird-datei" / "x.txt", "x");
    Schreibe(Q() / "z.txt", "z");
    const std::string stand = Sichere();
    const fs::path datei = Sicherungsordner(stand) / "tresor-ix-bestand.txt";
    fs::permissions(datei, fs::perms::owner_write, fs::perm_options::add);
    SchreibeDatei(datei, InForm(LiesText(datei), form.form));
    fall.aendere(Q());
    const int ergebnis = Rufe({"--pruefen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--mit-quelle"});
    std::vector<std::string> zeilen;
    for (const std::string& z : Zeilen(fehler.str()))
        if (z.starts_with("Neu ") || z.starts_with("Nicht mehr ") || z.starts_with("Geändert "))
            zeilen.push_back(z);
    std::sort(zeilen.begin(), zeilen.end());
    EXPECT_EQ(zeilen, fall.zeilen) << fehler.str();
    EXPECT_EQ(ergebnis, fall.zeilen.empty() ? 0 : 1) << fehler.str();
}

INSTANTIATE_TEST_SUITE_P(
    Bestand, MitQuelle,
    ::testing::
        Combine(
            ::testing::Values(Quellfall{"Gleich", [](const fs::path&) {}, {}},
                              Quellfall{"NeuerOrdner",
                                        [](const fs::path& q) { Schreibe(q / "neu" / "n.txt", "n"); },
                                        {"Neu in der Quelle: neu", "Neu in der Quelle: neu/n.txt"}},
                              Quellfall{"OrdnerWeg",
                                        [](const fs::path& q) { fs::remove_all(q / "ordner"); },
                                        {"Nicht mehr in der Quelle: ordner", "Nicht mehr in der Quelle: ordner/b.txt",
                                         "Nicht mehr in der Quelle: ordner/tief",
                                         "Nicht mehr in der Quelle: ordner/tief/c.txt"}},
                              Quellfall{
                                  "DateiWirdOrdner",
                                  [](const fs::path& q) {
                                      fs::remove(q / "wird-ordner");
                                      Schreibe(q / "wird-ordner" / "y.txt", "y");
                                  },
                                  {"Geändert (Art): wird-ordner", "Neu in der Quelle: wird-ordner/y.txt"}},
                              Quellfall{
                                  "OrdnerWirdDatei",
                                  [](const fs::path& q) {
                                      fs::remove_all(q / "wird-datei");
                                      Schreibe(q / "wird-datei", "d");
                                  },
                                  {"Geändert (Art): wird-datei", "Nicht mehr in der Quelle: wird-datei/x.txt"}},
                              Quellfall{"Groesse",
                                        [](const fs::path& q) { Schreibe(q / "z.txt", "länger"); },
                                        {"Geändert (Größe): z.txt"}}),
            ::testing::Values(Formfall{"Heute", Form::Heute},
                              Formfall{"Version2Byteordnung", Form::Version2Byteordnung})),
    [](const auto& info) { return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name; });

// The lines of the check with the source in the order it names them: the record's entries of a folder in the
// walk's order, then what only the source holds, in byte order of the names (a folder followed by its content).
struct Folgefall {
    const char* name;
    std::function<void(const fs::path&)> aendere;
    std::vector<std::string> zeilen; // in this order
};

class MitQuelleFolge : public Wiederherstellungstest, public ::testing::WithParamInterface<Folgefall> {};

TEST_P(MitQuelleFolge, NenntInDerFolgeDesGangs) {
    const Folgefall& fall = GetParam();
    Schreibe(Q() / "a-b.txt", "a");
    Schreibe(Q() / "m" / "x.txt", "x");
    Schreibe(Q() / "z.txt", "z");
    Schreibe(Q() / "ö.txt", "o");
    (void)Sichere();
    fall.aendere(Q());
    const int ergebnis = Rufe({"--pruefen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--mit-quelle"});
    std::vector<std::string> zeilen;
    for (const std::string& z : Zeilen(fehler.str()))
        if (z.starts_with("Neu ") || z.starts_with("Nicht mehr ") || z.starts_with("Geändert "))
            zeilen.push_back(z);
    EXPECT_EQ(zeilen, fall.zeilen) << fehler.str();
    EXPECT_EQ(ergebnis, 1) << fehler.str();
}

INSTANTIATE_TEST_SUITE_P(
    Bestand, MitQuelleFolge,
    ::testing::Values(
        // "a" before "a-c.txt" before "ä.txt" (bytes 0xc3 0xa4, after every ASCII name), files and folders merged.
        Folgefall{"NeueInByteordnung",
                  [](const fs::path& q) {
                      Schreibe(q / "ä.txt", "n");
                      Schreibe(q / "zz" / "k.txt", "n");
                      Schreibe(q / "a-c.txt", "n");
                      Schreibe(q / "a" / "b.txt", "n");
                      Schreibe(q / "B.txt", "n");
                  },
                  {"Neu in der Quelle: B.txt", "Neu in der Quelle: a", "Neu in der Quelle: a/b.txt",
                   "Neu in der Quelle: a-c.txt", "Neu in der Quelle: zz", "Neu in der Quelle: zz/k.txt",
                   "Neu in der Quelle: ä.txt"}},
        Folgefall{"DateiWirdOrdnerUndEineGehtEineKommt",
                  [](const fs::path& q) {
                      fs::remove(q / "z.txt");
                      Schreibe(q / "z.txt" / "y", "y");
                      fs::remove(q / "m" / "x.txt");
                      Schreibe(q / "m" / "w.txt", "w");
                  },
                  {"Geändert (Art): z.txt", "Neu in der Quelle: z.txt/y", "Nicht mehr in der Quelle: m/x.txt",
                   "Neu in der Quelle: m/w.txt"}},
        Folgefall{"OrdnerWirdDatei",
                  [](const fs::path& q) {
                      fs::remove_all(q / "m");
                      Schreibe(q / "m", "m");
                      fs::remove(q / "a-b.txt");
                  },
                  {"Nicht mehr in der Quelle: a-b.txt", "Geändert (Art): m", "Nicht mehr in der Quelle: m/x.txt"}},
        // A backslash is part of a name on disk: one level, looked at under that very name.
        Folgefall{"SchraegstrichImNamen",
                  [](const fs::path& q) { Schreibe(q / "m" / "v\\w.txt", "v"); },
                  {"Neu in der Quelle: m/v\\w.txt"}}),
    [](const auto& info) { return std::string(info.param.name); });

// The growth of the resident set of a child process that runs `lauf`: its peak less its size at the start, in
// bytes; -1 where /proc cannot tell.
long Wachstum(const std::function<void()>& lauf) {
    int rohr[2];
    if (::pipe(rohr) != 0)
        return -1;
    const pid_t kind = ::fork();
    if (kind == 0) {
        ::close(rohr[0]);
        auto feld = [](const char* name) {
            std::ifstream status("/proc/self/status");
            for (std::string z; std::getline(status, z);)
                if (z.starts_with(name))
                    return std::stol(z.substr(std::string_view(name).size())) * 1024;
            return -1L;
        };
        // The peak from here on: the child's start counts as its floor.
        std::ofstream("/proc/self/clear_refs") << "5";
        const long anfang = feld("VmRSS:");
        lauf();
        const long spitze = feld("VmHWM:");
        const long wachstum = anfang < 0 || spitze < 0 ? -1 : spitze - anfang;
        (void)!::write(rohr[1], &wachstum, sizeof wachstum);
        ::_exit(0);
    }
    ::close(rohr[1]);
    long wachstum = -1;
    if (::read(rohr[0], &wachstum, sizeof wachstum) != sizeof wachstum)
        wachstum = -1;
    ::close(rohr[0]);
    int status = 0;
    ::waitpid(kind, &status, 0);
    return wachstum;
}

struct Speicherfall {
    const char* name;
    bool pruefen;     // else restore
    bool byteordnung; // the entries out of the walk's order: the record is read whole
    long grenzeMiB;   // the growth stays below it, or (read whole) goes beyond it
};

class GrosserBestand : public Wiederherstellungstest, public ::testing::WithParamInterface<Speicherfall> {};

// 200,000 entries of files without a version ("fehlt"): each is named, none is copied, so the run does little
// beside reading the record.
TEST_P(GrosserBestand, WirdAlsStromGelesen) {
    if (!fs::exists("/proc/self/clear_refs"))
        GTEST_SKIP() << "ohne /proc/self/clear_refs kein Maß des Speichers";
#if defined(__SANITIZE_ADDRESS__)
    // The address checker keeps freed memory back and adds its own: the growth is not the program's.
    GTEST_SKIP() << "unter dem Adressprüfer kein Maß des Speichers";
#endif
    const Speicherfall& f = GetParam();
    Schreibe(Q() / "a.txt", "a");
    const std::string stand = Sichere();
    const fs::path datei = Sicherungsordner(stand) / "tresor-ix-bestand.txt";
    Teile t = Zerlege(LiesText(datei));
    std::vector<std::string> zeilen = t.Kopf;
    zeilen.push_back(t.Eintraege.front()); // the source folder
    constexpr int Anzahl = 200000;
    char zeile[96];
    for (int i = 0; i < Anzahl; ++i) {
        const int n = f.byteordnung ? Anzahl - 1 - i : i;
        std::snprintf(zeile, sizeof zeile, "D fehlt 5 1765188000000000000 644 0 0 0 0 - - f%07d", n);
        zeilen.emplace_back(zeile);
    }
    zeilen.push_back(t.Kopiert);
    zeilen.push_back(t.Lauf);
    zeilen.push_back("summe " + std::to_string(Anzahl + 1) + " 0 0 fehlt " + std::to_string(Anzahl));
    fs::permissions(datei, fs::perms::owner_write, fs::perm_options::add);
    SchreibeDatei(datei, MitSchluss(zeilen, 5));
    zeilen.clear();
    zeilen.shrink_to_fit();

    const long wachstum = Wachstum([&] {
        std::ostream nichts(nullptr);
        Befehlszeilenumgebung u{nichts,
                                nichts,
                                laufwerke,
                                uhr,
                                [this] { return ErzeugePosixDateisystem(laufwerke); },
                                false,
                                (temp / "C").string()};
        const std::vector<std::string> argumente =
            f.pruefen ? std::vector<std::string>{"--pruefen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten"}
                      : std::vector<std::string>{"--wiederherstellen",
                                                 "--ziel",
                                                 "D:\\Backup",
                                                 "--quelle",
                                                 "C:\\Daten",
                                                 "--nach",
                                                 (temp / "C" / "wieder").string()};
        (void)Befehlszeile(argumente, u);
    });
    ASSERT_GE(wachstum, 0);
    RecordProperty("wachstum", std::to_string(wachstum));
    const long grenze = f.grenzeMiB << 20;
    if (f.byteordnung)
        EXPECT_GT(wachstum, grenze) << "the whole record in memory: the measure must see it";
    else
        EXPECT_LT(wachstum, grenze);
    // Every entry without its version: nothing is restored.
    if (!f.pruefen && !f.byteordnung) {
        EXPECT_TRUE(fs::is_directory(temp / "C" / "wieder"));
        EXPECT_TRUE(fs::is_empty(temp / "C" / "wieder"));
    }
}

INSTANTIATE_TEST_SUITE_P(Bestand, GrosserBestand,
                         ::testing::Values(Speicherfall{"Wiederherstellen", false, false, 8},
                                           Speicherfall{"Pruefen", true, false, 8},
                                           Speicherfall{"GanzGelesen", false, true, 32}),
                         [](const auto& info) { return std::string(info.param.name); });

// Every kind of run over a tree of more folders than the process may keep open: the file-system objects of one
// run (a check against the source holds two, a restore two) share the limit of open files, and none runs out.
struct Grenzfall {
    const char* name;
    std::vector<std::string> argumente; // "NACH" stands for the restore's destination
    bool aendern = false;               // a file deep down rewritten first: a run that mirrors every folder
};

class WenigeDeskriptoren : public Wiederherstellungstest, public ::testing::WithParamInterface<Grenzfall> {};

TEST_P(WenigeDeskriptoren, ReichenFuerJedenLauf) {
    // 60 chains of four folders, a file in each folder.
    for (int k = 0; k < 60; ++k) {
        fs::path o = Q() / ("kette" + std::to_string(k));
        for (int t = 0; t < 4; ++t) {
            o /= "stufe" + std::to_string(t);
            Schreibe(o / "d.txt", std::to_string(k * 10 + t));
        }
    }
    (void)Sichere();
    ++uhr.sekunde;
    if (GetParam().aendern)
        Schreibe(Q() / "kette30" / "stufe0" / "stufe1" / "stufe2" / "stufe3" / "d.txt", "neu");
    const fs::path nach = temp / "C" / "wieder";
    std::vector<std::string> argumente = GetParam().argumente;
    for (std::string& a : argumente)
        if (a == "NACH")
            a = nach.string();
    struct rlimit offen {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &offen), 0);
    struct rlimit niedrig = offen;
    niedrig.rlim_cur = std::min<rlim_t>(offen.rlim_cur, 64);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &niedrig), 0);
    const int ergebnis = Rufe(argumente);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &offen), 0);
    EXPECT_EQ(ergebnis, 0) << aus.str() << fehler.str();
    if (fs::exists(nach)) {
        EXPECT_EQ(LiesText(nach / "kette59" / "stufe0" / "stufe1" / "stufe2" / "stufe3" / "d.txt"), "593");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bestand, WenigeDeskriptoren,
    ::testing::Values(
        Grenzfall{"Sichern", {"--quelle", "C:\\Daten", "--ziel", "D:\\Backup"}, true},
        Grenzfall{"Pruefen", {"--pruefen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten"}},
        Grenzfall{"PruefenMitQuelle", {"--pruefen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--mit-quelle"}},
        Grenzfall{"Wiederherstellen",
                  {"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--nach", "NACH"}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace

} // namespace tresor::test
