#pragma once

#include "fs/Deskriptor.h"
#include "fs/Laufwerkstabelle.h"
#include "fs/Ort.h"
#include "fs/Pfad.h"
#include "fs/Systempfad.h"

#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

namespace tresor::posix {

// An entry as the system calls name it: relative to its folder, held open for the next operations in the
// same folder, or as a whole path where the path ends in no name of its own (a drive root, ".", "..", a
// trailing backslash). Filled by OffeneOrdner::Verorte; valid while the OffeneOrdner that filled it lives.
class Eintragsort {
public:
    Ort Wo() const { return ganz_ ? Ort(*ganz_) : Ort(ordner_, name_.c_str()); }
    // The folder descriptor, AT_FDCWD for a whole path.
    int Ordner() const { return ganz_ ? AT_FDCWD : ordner_; }
    // The name in that folder on disk, or the whole path.
    const char* Name() const { return ganz_ ? ganz_->c_str() : name_.c_str(); }
    bool Ganz() const { return ganz_.has_value(); }
    // The device of the folder (0 for a whole path).
    dev_t OrdnerGeraet() const { return ordnerGeraet_; }

private:
    friend class OffeneOrdner;
    int ordner_ = AT_FDCWD;
    dev_t ordnerGeraet_ = 0;
    std::string ordnerpfad_; // the key of the held-open folder, empty for a whole path
    std::string name_;
    std::optional<Systempfad> ganz_;
};

// The cache of held-open folders: an entry is reached through a descriptor of its folder, so the kernel looks
// up one name instead of walking the whole path again. The engine works in one source folder and its mirror
// at a time, so a few folders, the most recently used first, suffice. A folder that is removed meanwhile
// fails the calls as its path would (see Erneuert for one made anew); the descriptors are closed with this
// object.
class OffeneOrdner {
public:
    // The drive table translates program paths; it must outlive this object.
    explicit OffeneOrdner(const Laufwerkstabelle& laufwerke) : laufwerke_(laufwerke) {}

    // Fills `ort` for the program path. Returns 0, or the error number of the way to the entry's folder
    // (which the path-based call would have met as well). A path not in program form fails with FsFehler
    // (Unbrauchbar).
    [[nodiscard]] int Verorte(const char* operation, const Pfad& pfad, Eintragsort& ort);
    // Verorte, failing with FsFehler where the way to the folder fails.
    void VerorteOderWirf(const char* operation, const Pfad& pfad, Eintragsort& ort);
    // After a call through a held-open folder found no entry: true when that folder was removed since it was
    // opened (a folder of that path may have been made anew), in which case it is opened again and `ort` is
    // filled anew, so that the call can be repeated as the path would have been resolved now.
    [[nodiscard]] bool Erneuert(const char* operation, const Pfad& pfad, Eintragsort& ort);
    // lstat of the entry; fails with FsFehler naming the operation and the path.
    struct stat StatAn(const char* operation, const Pfad& pfad, Eintragsort& ort);

private:
    struct OffenerOrdner {
        Pfad Programmpfad;
        Deskriptor Fd;
        dev_t Geraet;
    };
    static constexpr std::size_t Hoechstens = 4;

    const Laufwerkstabelle& laufwerke_;
    std::vector<OffenerOrdner> offen_;
};

} // namespace tresor::posix
