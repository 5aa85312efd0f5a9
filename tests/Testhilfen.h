#pragma once

#include "fs/Laufwerkstabelle.h"

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>

namespace tresor::test {

// A fresh temporary folder with an absolute path, removed when the test passed and kept (its path
// printed) when it failed.
class TempOrdner {
public:
    TempOrdner();
    ~TempOrdner();
    TempOrdner(const TempOrdner&) = delete;
    TempOrdner& operator=(const TempOrdner&) = delete;

    const std::filesystem::path& Pfad() const noexcept { return pfad_; }
    std::filesystem::path operator/(std::string_view name) const { return pfad_ / name; }

private:
    std::filesystem::path pfad_;
};

// Writes a file (creating its parent folders) with the given content.
void SchreibeDatei(const std::filesystem::path& datei, std::string_view inhalt);
// The whole content of a file.
std::string LiesDatei(const std::filesystem::path& datei);

// Writes the extended attribute user.DOSATTRIB in its hex string form ("0x4").
void SetzeDosattrib(const std::filesystem::path& pfad, int wert);

// Everything of an entry that a write, a chmod, a chown or a record would change (lstat, never followed).
struct Zustand {
    std::string Inhalt; // of a regular file
    mode_t Modus = 0;
    uid_t Uid = 0;
    gid_t Gid = 0;
    std::int64_t CtimeNs = 0;
    std::map<std::string, std::string> Xattrs;
    bool operator==(const Zustand&) const = default;
};
Zustand ZustandVon(const std::filesystem::path& p);
// The state of every entry below a folder and of the folder itself (""), by relative path.
std::map<std::string, Zustand> BaumVon(const std::filesystem::path& wurzel);

// A drive table for tests: C: and D: map to the folders "C" and "D" inside the temporary folder,
// which it creates.
Laufwerkstabelle TestLaufwerke(const TempOrdner& ordner);

// The threads of this process besides the caller's, each with whether it blocks every signal a stop is asked
// by (SIGINT, SIGTERM, SIGHUP): a helper thread must, so that the signal reaches the thread doing the work.
std::map<std::string, bool> AndereFaeden();

} // namespace tresor::test
