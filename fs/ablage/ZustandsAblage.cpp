#include "fs/ablage/ZustandsAblage.h"

#include "fs/ablage/Zustandsdatei.h"
#include "fs/system/Deskriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace tresor::posix {

namespace {

// The path an open descriptor stands for, as the kernel tells it.
std::optional<std::string> PfadVon(int fd) {
    const std::string verweis = "/proc/self/fd/" + std::to_string(fd);
    std::string pfad(4096, '\0');
    for (;;) {
        const ssize_t n = ::readlink(verweis.c_str(), pfad.data(), pfad.size());
        if (n < 0)
            return std::nullopt;
        if (static_cast<std::size_t>(n) < pfad.size()) {
            pfad.resize(static_cast<std::size_t>(n));
            return pfad;
        }
        pfad.resize(pfad.size() * 2);
    }
}

// Makes the folder of `datei` and those above it that are missing, private to the user (the records name the
// user's files); returns the folder.
std::optional<std::string> MacheOrdner(const std::string& datei) {
    const auto schnitt = datei.find_last_of('/');
    const std::string ordner = schnitt == 0 ? "/" : datei.substr(0, schnitt);
    for (std::size_t p = 1; p <= ordner.size(); ++p) {
        if (p == ordner.size() || ordner[p] == '/') {
            if (::mkdir(ordner.substr(0, p).c_str(), 0700) != 0 && errno != EEXIST)
                return std::nullopt;
        }
    }
    return ordner;
}

bool OrdnerFesthalten(const std::string& ordner) {
    const Deskriptor fd(::open(ordner.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.gueltig() && ::fsync(fd.get()) == 0;
}

// Makes the empty file `datei` (0600), durable with its name. False with errno set; EEXIST when there is one.
bool LegeAn(const std::string& datei, const std::string& ordner) {
    Deskriptor fd(::open(datei.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.gueltig())
        return false;
    if (::fsync(fd.get()) != 0 || fd.schliessen() != 0)
        return false;
    return OrdnerFesthalten(ordner);
}

// Removes the rollback journal a database at `datei` may have left, and with `selbst` the file itself.
bool Entferne(const std::string& datei, bool selbst = true) {
    if (selbst && ::unlink(datei.c_str()) != 0 && errno != ENOENT)
        return false;
    if (::unlink((datei + "-journal").c_str()) != 0 && errno != ENOENT)
        return false;
    return true;
}

enum class Fund {
    Fehlt,
    Bank,    // a database, or an empty file
    Text,    // the earlier text form
    Anderes, // anything else: a link, a folder, a file of another form
    Fehler,  // could not be looked at (errno)
};

Fund Untersuche(const std::string& datei) {
    const Deskriptor fd(::open(datei.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd.gueltig())
        return errno == ENOENT ? Fund::Fehlt : errno == ELOOP ? Fund::Anderes : Fund::Fehler;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return Fund::Fehler;
    if (!S_ISREG(st.st_mode))
        return Fund::Anderes;
    if (st.st_size == 0)
        return Fund::Bank;
    char kopf[32] = {};
    const ssize_t n = ::pread(fd.get(), kopf, sizeof kopf, 0);
    if (n < 0)
        return Fund::Fehler;
    const std::string_view gelesen(kopf, static_cast<std::size_t>(n));
    if (gelesen.starts_with(std::string_view("SQLite format 3\0", 16)))
        return Fund::Bank;
    if (gelesen.starts_with("tresor-ix-zustand "))
        return Fund::Text;
    return Fund::Anderes;
}

} // namespace

ZustandsAblage::ZustandsAblage(std::string datei, std::string einhaengepunkt)
    : datei_(std::move(datei)), einhaengepunkt_(std::move(einhaengepunkt)) {}

// Records written and not committed are rolled back: their files read as archive set.
ZustandsAblage::~ZustandsAblage() = default;

Zustandsbank* ZustandsAblage::Bank(bool anlegen) {
    if (bank_)
        return bank_.get();
    if (!gesucht_) {
        gesucht_ = true;
        Zustandsbank::Lage lage = Zustandsbank::Lage::Gut;
        bank_ = Vorhandene(lage);
        if (bank_)
            return bank_.get();
        if (lage == Zustandsbank::Lage::Kaputt)
            kaputt_ = true;
        else if (errno != ENOENT)
            fehler_ = errno; // kept as it is, and not asked again in this run
    }
    if (!anlegen || fehler_ != 0) {
        errno = fehler_ != 0 ? fehler_ : ENOENT;
        return nullptr;
    }
    bank_ = Neu();
    if (!bank_) {
        fehler_ = errno;
        return nullptr;
    }
    kaputt_ = false;
    return bank_.get();
}

std::unique_ptr<Zustandsbank> ZustandsAblage::Vorhandene(Zustandsbank::Lage& lage) {
    switch (Untersuche(datei_)) {
    case Fund::Fehlt:
        lage = Zustandsbank::Lage::Gut;
        errno = ENOENT;
        return nullptr;
    case Fund::Fehler:
        lage = Zustandsbank::Lage::Fehler;
        return nullptr;
    case Fund::Anderes:
        lage = Zustandsbank::Lage::Kaputt;
        return nullptr;
    case Fund::Bank:
        return Zustandsbank::Oeffne(datei_, lage);
    case Fund::Text:
        break;
    }
    // The earlier text form: its records go into a new database under a temporary name as the file is read,
    // a piece at a time, and the database takes the text file's place once the text proved whole. A text file
    // that is torn holds nothing, as it always did.
    const auto ordner = MacheOrdner(datei_);
    const std::string neu = datei_ + ".neu";
    const Deskriptor fd(::open(datei_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    bool ok = fd.gueltig() && ordner && Entferne(neu) && LegeAn(neu, *ordner);
    bool ganz = false;
    if (ok) {
        auto bank = Zustandsbank::Oeffne(neu, lage);
        ok = bank != nullptr;
        Zustandsleser leser([&](std::string_view name, std::string_view vermerk) {
            ok = bank->Schreibe(name, vermerk, lage);
            return ok;
        });
        char puffer[65536];
        bool lesbar = ok;
        while (lesbar) {
            const ssize_t n = ::read(fd.get(), puffer, sizeof puffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ok = ok && n == 0;
                break;
            }
            lesbar = leser.Lies(std::string_view(puffer, static_cast<std::size_t>(n)));
        }
        ganz = ok && leser.Ende();
        ok = ok && (!ganz || bank->Festschreiben(lage));
        bank.reset();
        // A journal left beside the text file belongs to no database there now (an earlier program wrote the
        // text over one): played back onto the new one, it would damage it.
        ok = ok && (!ganz || (Entferne(datei_, false) && ::rename(neu.c_str(), datei_.c_str()) == 0 &&
                              OrdnerFesthalten(*ordner)));
    }
    if (!ok || !ganz) {
        const int fehler = errno;
        (void)Entferne(neu);
        errno = fehler;
        lage = ok ? Zustandsbank::Lage::Kaputt : Zustandsbank::Lage::Fehler;
        return nullptr;
    }
    return Zustandsbank::Oeffne(datei_, lage);
}

std::unique_ptr<Zustandsbank> ZustandsAblage::Neu() {
    const auto ordner = MacheOrdner(datei_);
    if (!ordner)
        return nullptr;
    // What is damaged goes (a link itself, never what it names); a folder in its place stays, and the write
    // fails.
    if (kaputt_ && !Entferne(datei_))
        return nullptr;
    if (LegeAn(datei_, *ordner)) {
        // A journal beside a file that was not there is left from one removed by hand.
        if (!Entferne(datei_, false))
            return nullptr;
    } else if (errno != EEXIST) { // made by another run meanwhile: taken as it is
        return nullptr;
    }
    Zustandsbank::Lage lage = Zustandsbank::Lage::Gut;
    auto bank = Zustandsbank::Oeffne(datei_, lage);
    if (!bank && lage == Zustandsbank::Lage::Kaputt)
        errno = EIO;
    return bank;
}

void ZustandsAblage::Verwerfen() {
    const int fehler = errno;
    bank_.reset();
    gesucht_ = true;
    kaputt_ = true;
    errno = fehler;
}

std::optional<std::string> ZustandsAblage::Name(const Ort& ort) const {
    std::string pfad;
    if (ort.Ordner == AT_FDCWD) {
        pfad = ort.Name;
    } else {
        auto ordner = PfadVon(ort.Ordner);
        if (!ordner)
            return std::nullopt;
        pfad = *std::move(ordner);
        const std::string_view name = ort.Name;
        if (!name.empty() && name != ".")
            pfad += (pfad == "/" ? "" : "/") + std::string(name);
    }
    if (einhaengepunkt_ == "/")
        return pfad.size() > 1 && pfad.front() == '/' ? std::optional(pfad.substr(1)) : std::optional(std::string());
    if (!pfad.starts_with(einhaengepunkt_))
        return std::nullopt;
    if (pfad.size() == einhaengepunkt_.size())
        return std::string();
    if (pfad[einhaengepunkt_.size()] != '/')
        return std::nullopt;
    return pfad.substr(einhaengepunkt_.size() + 1);
}

std::optional<std::uint32_t> ZustandsAblage::LiesDos(const Ort&) {
    errno = ENOTSUP;
    return std::nullopt;
}

bool ZustandsAblage::SchreibeDos(const Ort&, std::uint32_t) {
    errno = ENOTSUP;
    return false;
}

std::optional<Archivvermerk> ZustandsAblage::LiesVermerk(const Ort& ort) {
    const auto name = Name(ort);
    if (!name)
        return std::nullopt;
    Zustandsbank* bank = Bank(false);
    if (bank == nullptr)
        return std::nullopt;
    Zustandsbank::Lage lage = Zustandsbank::Lage::Gut;
    const auto wert = bank->Lies(*name, lage);
    if (lage == Zustandsbank::Lage::Kaputt)
        Verwerfen();
    if (!wert)
        return std::nullopt;
    auto vermerk = LiesArchivvermerk(*wert);
    if (!vermerk)
        return std::nullopt;
    // No inode number is kept: the entry's present one stands in for it.
    struct stat st {};
    const int r = ort.Ordner != AT_FDCWD && *ort.Name == '\0'
                      ? ::fstat(ort.Ordner, &st)
                      : ::fstatat(ort.Ordner, ort.Name, &st, AT_SYMLINK_NOFOLLOW);
    if (r != 0)
        return std::nullopt;
    vermerk->Stand.Inode = static_cast<std::uint64_t>(st.st_ino);
    return vermerk;
}

bool ZustandsAblage::SchreibeVermerk(const Ort& ort, const Archivvermerk& vermerk) {
    const auto name = Name(ort);
    if (!name) {
        errno = EXDEV;
        return false;
    }
    Zustandsbank* bank = Bank(true);
    if (bank == nullptr)
        return false;
    Archivvermerk ohneInode = vermerk;
    ohneInode.Stand.Inode = 0;
    Zustandsbank::Lage lage = Zustandsbank::Lage::Gut;
    if (bank->Schreibe(*name, ArchivvermerkWert(ohneInode), lage))
        return true;
    if (lage == Zustandsbank::Lage::Kaputt)
        Verwerfen();
    return false;
}

bool ZustandsAblage::LoescheVermerk(const Ort& ort) {
    const auto name = Name(ort);
    if (!name)
        return true;
    Zustandsbank* bank = Bank(false);
    if (bank == nullptr)
        return fehler_ == 0; // none, or damaged: no record is known
    Zustandsbank::Lage lage = Zustandsbank::Lage::Gut;
    if (bank->Schreibe(*name, std::nullopt, lage))
        return true;
    if (lage != Zustandsbank::Lage::Kaputt)
        return false;
    Verwerfen();
    return true;
}

std::optional<Verweisvermerk> ZustandsAblage::LiesVerweisvermerk(const Ort&) {
    return std::nullopt;
}

bool ZustandsAblage::SchreibeVerweisvermerk(const Ort&, const Verweisvermerk&) {
    errno = ENOTSUP;
    return false;
}

bool ZustandsAblage::LoescheVerweisvermerk(const Ort&) {
    return true;
}

bool ZustandsAblage::Festschreiben() {
    if (!bank_)
        return true;
    Zustandsbank::Lage lage = Zustandsbank::Lage::Gut;
    if (bank_->Festschreiben(lage))
        return true;
    if (lage == Zustandsbank::Lage::Kaputt)
        Verwerfen();
    return false;
}

} // namespace tresor::posix
