// Measures what the durability of a backup costs: copies a tree of small files with the engine's folder
// copy, once with the flushes of the target before archive bits are cleared and once without them, in
// alternation, and prints the median times.
//
//   bench/dauerhaftigkeit [--dateien N] [--runden R] [--ordner DIR]

#include "engine/sicherung/Sicherung.h"
#include "fs/posix/PosixDateisystem.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

using namespace tresor;
namespace fs = std::filesystem;

class StillesFenster : public Fensterschnittstelle {
public:
    Pfad QuellPfadPath() override { return {}; }
    Pfad ZielPfadPath() override { return {}; }
    void SetZielOrdnerText(const std::string&) override {}
    std::string ZielOrdnerText() override { return {}; }
    void SetMousePointer(int) override {}
    int MsgBox(const std::string&, int, const std::optional<std::string>&) override { return vbOK; }
    void ZielPfadRefresh() override {}
};

// Forwards everything but the flush.
class OhneSync final : public Dateisystem {
public:
    explicit OhneSync(std::unique_ptr<Dateisystem> innen) : innen_(std::move(innen)) {}
    Ordner GetFolder(const Pfad& p) override { return innen_->GetFolder(p); }
    std::vector<Ordner> SubFolders(const Ordner& o) override { return innen_->SubFolders(o); }
    Ordnerdateien Files(const Ordner& o) override { return innen_->Files(o); }
    Datei GetFile(const Pfad& p) override { return innen_->GetFile(p); }
    int Attributes(const Datei& d) override { return innen_->Attributes(d); }
    bool ArchivGesetzt(const Datei& d) override { return innen_->ArchivGesetzt(d); }
    std::optional<Datei> DateiZuSichern(const Pfad& p, Eintragsstand* g) override {
        return innen_->DateiZuSichern(p, g);
    }
    Quellstand Copy(const Datei& d, const Pfad& z, const Kopierfortschritt& f = {}) override {
        return innen_->Copy(d, z, f);
    }
    std::string Dir(const Pfad& p, int m) override { return innen_->Dir(p, m); }
    std::vector<std::string> DirJeMaske(const Pfad& p, std::span<const int> m) override {
        return innen_->DirJeMaske(p, m);
    }
    void MakeDir(const Pfad& p, Anlage a) override { innen_->MakeDir(p, a); }
    Quellstand SetFileAttr(const Pfad& p, int w, const Quellstand& s) override { return innen_->SetFileAttr(p, w, s); }
    void Sync(const Pfad&) override {}
    void OrdnerAbschliessen(const Pfad& q, const Pfad& z) override { innen_->OrdnerAbschliessen(q, z); }
    void Ausschliessen(const Pfad& o) override { innen_->Ausschliessen(o); }

private:
    std::unique_ptr<Dateisystem> innen_;
};

class Uhrlos : public Uhr {
public:
    Datum Date() override { return {}; }
    Zeit Time() override { return {}; }
};

void Erzeuge(const fs::path& quelle, int dateien) {
    std::string inhalt(4096, 'x');
    for (int i = 0; i < dateien; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "o%d", i / 100);
        const fs::path ordner = quelle / name;
        if (i % 100 == 0)
            fs::create_directories(ordner);
        inhalt[0] = static_cast<char>('a' + i % 26);
        std::snprintf(name, sizeof name, "f%d.dat", i);
        std::ofstream(ordner / name, std::ios::binary)
            .write(inhalt.data(), static_cast<std::streamsize>(1024 + (i * 37) % 3072));
    }
}

// Sets every archive bit again by removing the records.
void SetzeArchivbits(const fs::path& quelle) {
    for (const auto& e : fs::recursive_directory_iterator(quelle))
        if (e.is_regular_file())
            removexattr(e.path().c_str(), "user.tresor-ix.archiv");
}

double Lauf(const Laufwerkstabelle& laufwerke, const fs::path& wurzel, bool mitSync, int nummer) {
    const fs::path ziel = wurzel / ("ziel" + std::to_string(nummer));
    fs::create_directories(ziel);
    SetzeArchivbits(wurzel / "quelle");
    StillesFenster fenster;
    Uhrlos uhr;
    Sicherung s(fenster, uhr, {});
    auto innen = ErzeugePosixDateisystem(laufwerke);
    s.fso = mitSync ? std::move(innen) : std::unique_ptr<Dateisystem>(std::make_unique<OhneSync>(std::move(innen)));
    const auto start = std::chrono::steady_clock::now();
    s.KopiereDateien("C:\\quelle", "C:\\ziel" + std::to_string(nummer) + "\\quelle");
    // Without flushes in the run, what it wrote is still to be written out; that is not counted.
    const double sekunden = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (s.tmp_fehler != "nein")
        std::cerr << "warning: a copy failed its check\n";
    fs::remove_all(ziel);
    sync();
    return sekunden;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    int dateien = 20000, runden = 5;
    fs::path ordner = fs::temp_directory_path();
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--dateien")
            dateien = std::atoi(argv[i + 1]);
        else if (a == "--runden")
            runden = std::atoi(argv[i + 1]);
        else if (a == "--ordner")
            ordner = argv[i + 1];
    }
    const fs::path wurzel = fs::absolute(ordner) / ("tresor-dauer-" + std::to_string(getpid()));
    fs::create_directories(wurzel);
    Erzeuge(wurzel / "quelle", dateien);
    sync();
    const Laufwerkstabelle laufwerke({Laufwerk{'C', wurzel.string(), {}}});
    std::vector<double> mit, ohne;
    for (int r = 0; r < runden; ++r) {
        mit.push_back(Lauf(laufwerke, wurzel, true, 2 * r));
        ohne.push_back(Lauf(laufwerke, wurzel, false, 2 * r + 1));
    }
    fs::remove_all(wurzel);
    std::printf("files: %d, rounds: %d (alternating)\n", dateien, runden);
    std::printf("with flushes:    median %.3f s\n", Median(mit));
    std::printf("without flushes: median %.3f s\n", Median(ohne));
    std::printf("ratio: %.3f\n", Median(mit) / Median(ohne));
    return 0;
}
