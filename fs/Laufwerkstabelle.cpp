#include "fs/Laufwerkstabelle.h"

#include "fs/system/Einhaengungen.h"

#include <locale.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <clocale>
#include <cstdint>
#include <cwctype>
#include <fstream>
#include <functional>
#include <sstream>

namespace tresor {

namespace {

// File systems that hold data on a medium of their own. Mounts of these from a block device are drives.
constexpr std::array<std::string_view, 22> Datentraegertypen = {
    "ext2", "ext3",     "ext4", "xfs",     "btrfs", "vfat",    "msdos",   "exfat", "ntfs",     "ntfs3",  "f2fs",
    "jfs",  "reiserfs", "hfs",  "hfsplus", "udf",   "iso9660", "fuseblk", "zfs",   "bcachefs", "nilfs2", "ufs",
};

// File systems of the kernel and the system's own bookkeeping. Never a drive, except that a memory file
// system that the user mounted under one of the user mount folders counts as that user's drive.
constexpr std::array<std::string_view, 27> Pseudotypen = {
    "proc",     "sysfs",       "cgroup",          "cgroup2", "devpts",   "debugfs",   "tracefs",  "securityfs",
    "pstore",   "bpf",         "configfs",        "fusectl", "mqueue",   "hugetlbfs", "autofs",   "binfmt_misc",
    "efivarfs", "selinuxfs",   "rpc_pipefs",      "nsfs",    "devtmpfs", "overlay",   "squashfs", "tmpfs",
    "ramfs",    "fuse.portal", "fuse.gvfsd-fuse",
};

// Folders where users mount their media.
constexpr std::array<std::string_view, 3> Benutzerorte = {"/media", "/run/media", "/mnt"};
// Folders of the system whose mounts are never drives, whatever their type.
constexpr std::array<std::string_view, 7> Systemorte = {"/proc", "/sys", "/dev", "/run", "/boot", "/efi", "/snap"};

bool Enthaelt(auto const& liste, std::string_view wert) {
    return std::find(liste.begin(), liste.end(), wert) != liste.end();
}

// True when `pfad` is `ordner` or lies below it (component boundary, not a plain prefix).
bool LiegtIn(std::string_view pfad, std::string_view ordner) {
    if (ordner == "/")
        return !pfad.empty() && pfad.front() == '/';
    if (pfad.substr(0, ordner.size()) != ordner)
        return false;
    return pfad.size() == ordner.size() || pfad[ordner.size()] == '/';
}

bool LiegtInEinem(std::string_view pfad, auto const& ordnerliste) {
    return std::any_of(ordnerliste.begin(), ordnerliste.end(), [&](std::string_view o) { return LiegtIn(pfad, o); });
}

std::vector<std::string_view> Felder(std::string_view zeile) {
    std::vector<std::string_view> felder;
    std::size_t i = 0;
    while (i < zeile.size()) {
        while (i < zeile.size() && zeile[i] == ' ')
            ++i;
        std::size_t anfang = i;
        while (i < zeile.size() && zeile[i] != ' ')
            ++i;
        if (i > anfang)
            felder.push_back(zeile.substr(anfang, i - anfang));
    }
    return felder;
}

// Whether a mount is a drive: see AusMountTabelle.
bool IstLaufwerk(const std::string& punkt, std::string_view typ, std::string_view quelle) {
    const bool benutzerort = LiegtInEinem(punkt, Benutzerorte);
    if (!benutzerort && LiegtInEinem(punkt, Systemorte))
        return false;
    if (Enthaelt(Pseudotypen, typ))
        return benutzerort && (typ == "tmpfs" || typ == "ramfs");
    if (benutzerort)
        return true;
    return Enthaelt(Datentraegertypen, typ) && (quelle.starts_with("/dev/") || typ == "zfs");
}

// The drives of a mount table text. `istOrdner` tells whether a mount point is a folder (mounts of single
// files are never drives); the table text alone cannot say.
std::vector<Laufwerk> LaufwerkeAus(std::string_view mountinfo,
                                   const std::function<bool(const std::string&)>& istOrdner) {
    std::vector<std::string> punkte;
    std::size_t anfang = 0;
    while (anfang < mountinfo.size()) {
        std::size_t ende = mountinfo.find('\n', anfang);
        if (ende == std::string_view::npos)
            ende = mountinfo.size();
        const auto felder = Felder(mountinfo.substr(anfang, ende - anfang));
        anfang = ende + 1;
        // id parent major:minor root mountpoint options [optional fields...] - fstype source superoptions
        const auto trenner = std::find(felder.begin(), felder.end(), std::string_view("-"));
        if (felder.size() < 5 || trenner == felder.end() || std::distance(trenner, felder.end()) < 3 ||
            std::distance(felder.begin(), trenner) < 6)
            continue;
        std::string punkt = posix::Mounttabellenfeld(felder[4]);
        const std::string_view typ = *(trenner + 1);
        const std::string quelle = posix::Mounttabellenfeld(*(trenner + 2));
        if (punkt.empty() || punkt.front() != '/' || punkt == "/")
            continue;
        if (IstLaufwerk(punkt, typ, quelle) && istOrdner(punkt))
            punkte.push_back(std::move(punkt));
    }
    std::sort(punkte.begin(), punkte.end());
    punkte.erase(std::unique(punkte.begin(), punkte.end()), punkte.end());

    std::vector<Laufwerk> laufwerke{Laufwerk{'C', "/", {}}};
    char buchstabe = 'D';
    for (auto& punkt : punkte) {
        if (buchstabe > 'Z')
            break;
        laufwerke.push_back(Laufwerk{buchstabe++, std::move(punkt), {}});
    }
    return laufwerke;
}

// Upper-case form of one code point, through the C.UTF-8 locale's tables where the system has them.
wint_t Gross(wint_t c) {
    static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (c < 0x80)
        return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
    return utf8 != static_cast<locale_t>(nullptr) ? ::towupper_l(c, utf8) : c;
}

// The next code point of UTF-8 text; a byte of no valid sequence stands for itself (above the code points).
wint_t Naechstes(std::string_view s, std::size_t& i) {
    const auto b = static_cast<unsigned char>(s[i]);
    int laenge = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (laenge == 0 || i + static_cast<std::size_t>(laenge) > s.size()) {
        ++i;
        return 0x110000 + b;
    }
    wint_t c = laenge == 1 ? b : laenge == 2 ? (b & 0x1f) : laenge == 3 ? (b & 0x0f) : (b & 0x07);
    for (int k = 1; k < laenge; ++k) {
        const auto f = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
        if ((f & 0xc0) != 0x80) {
            ++i;
            return 0x110000 + b;
        }
        c = (c << 6) | (f & 0x3f);
    }
    i += static_cast<std::size_t>(laenge);
    return c;
}

} // namespace

std::string Laufwerk::Text() const {
    return std::string(1, Buchstabe) + ": [" + (Bezeichnung.empty() ? Einhaengepunkt : Bezeichnung) + "]";
}

Pfad Laufwerk::Wurzel() const {
    return std::string(1, Buchstabe) + ":\\";
}

Laufwerkstabelle::Laufwerkstabelle(std::vector<Laufwerk> laufwerke) : laufwerke_(std::move(laufwerke)) {}

Laufwerkstabelle Laufwerkstabelle::AusMountTabelle() {
    std::ifstream ein("/proc/self/mountinfo", std::ios::binary);
    std::ostringstream text;
    text << ein.rdbuf();
    auto laufwerke = LaufwerkeAus(text.str(), [](const std::string& punkt) {
        struct stat st {};
        return ::stat(punkt.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    });
    for (Laufwerk& l : laufwerke) {
        struct stat st {};
        if (::stat(l.Einhaengepunkt.c_str(), &st) == 0)
            l.Geraet = st.st_dev;
    }
    return Laufwerkstabelle(std::move(laufwerke));
}

Laufwerkstabelle Laufwerkstabelle::AusMountinfo(std::string_view mountinfo) {
    return Laufwerkstabelle(LaufwerkeAus(mountinfo, [](const std::string&) { return true; }));
}

Laufwerkstabelle Laufwerkstabelle::Fortgeschrieben(const Laufwerkstabelle& jetzt) const {
    auto gleich = [](const Laufwerk& a, const Laufwerk& b) {
        return a.Einhaengepunkt == b.Einhaengepunkt && (a.Geraet == 0 || b.Geraet == 0 || a.Geraet == b.Geraet);
    };
    std::vector<Laufwerk> neu;
    std::vector<bool> vergeben(jetzt.laufwerke_.size(), false);
    for (const Laufwerk& alt : laufwerke_) {
        Laufwerk l = alt;
        l.Bereit = false;
        for (std::size_t i = 0; i < jetzt.laufwerke_.size(); ++i) {
            if (!vergeben[i] && jetzt.laufwerke_[i].Bereit && gleich(alt, jetzt.laufwerke_[i])) {
                vergeben[i] = true;
                l = jetzt.laufwerke_[i];
                l.Buchstabe = alt.Buchstabe;
                break;
            }
        }
        neu.push_back(std::move(l));
    }
    for (std::size_t i = 0; i < jetzt.laufwerke_.size(); ++i) {
        if (vergeben[i] || !jetzt.laufwerke_[i].Bereit)
            continue;
        char frei = 0;
        for (char b = jetzt.laufwerke_[i].Einhaengepunkt == "/" ? 'C' : 'D'; b <= 'Z' && frei == 0; ++b)
            if (std::none_of(neu.begin(), neu.end(), [b](const Laufwerk& l) { return l.Buchstabe == b; }))
                frei = b;
        if (frei == 0)
            continue;
        Laufwerk l = jetzt.laufwerke_[i];
        l.Buchstabe = frei;
        neu.push_back(std::move(l));
    }
    std::sort(neu.begin(), neu.end(), [](const Laufwerk& a, const Laufwerk& b) { return a.Buchstabe < b.Buchstabe; });
    return Laufwerkstabelle(std::move(neu));
}

const Laufwerk* Laufwerkstabelle::Finde(char buchstabe) const noexcept {
    if (buchstabe >= 'a' && buchstabe <= 'z')
        buchstabe = static_cast<char>(buchstabe - 'a' + 'A');
    for (const auto& l : laufwerke_)
        if (l.Buchstabe == buchstabe)
            return &l;
    return nullptr;
}

std::optional<std::string> Laufwerkstabelle::ZuPosix(std::string_view pfad) const {
    if (pfad.size() < 3 || pfad[1] != ':' || pfad[2] != '\\')
        return std::nullopt;
    const char b = pfad[0];
    if (!((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z')))
        return std::nullopt;
    // A NUL byte would silently cut the path short in every system call.
    if (pfad.find('\0') != std::string_view::npos)
        return std::nullopt;
    const Laufwerk* l = Finde(b);
    if (l == nullptr || !l->Bereit)
        return std::nullopt;
    // Every backslash separates two names; a slash stands for a backslash inside a name. The mapping is
    // its own inverse.
    const std::string rest = NamenAusPosix(pfad.substr(3));
    if (rest.empty())
        return l->Einhaengepunkt;
    if (l->Einhaengepunkt == "/")
        return "/" + rest;
    return l->Einhaengepunkt + "/" + rest;
}

std::optional<Pfad> Laufwerkstabelle::AusPosix(std::string_view posix) const {
    if (posix.empty() || posix.front() != '/')
        return std::nullopt;
    while (posix.size() > 1 && posix.back() == '/')
        posix.remove_suffix(1);
    const Laufwerk* bester = nullptr;
    for (const auto& l : laufwerke_) {
        if (l.Bereit && LiegtIn(posix, l.Einhaengepunkt) &&
            (bester == nullptr || l.Einhaengepunkt.size() > bester->Einhaengepunkt.size()))
            bester = &l;
    }
    if (bester == nullptr)
        return std::nullopt;
    std::string_view rest = posix.substr(bester->Einhaengepunkt == "/" ? 0 : bester->Einhaengepunkt.size());
    while (!rest.empty() && rest.front() == '/')
        rest.remove_prefix(1);
    std::string ergebnis = bester->Wurzel();
    ergebnis.append(NamenAusPosix(rest));
    return ergebnis;
}

void NamenAusPosixAn(std::string_view posix, std::string& an) {
    const std::size_t anfang = an.size();
    an += posix;
    for (auto it = an.begin() + static_cast<std::ptrdiff_t>(anfang); it != an.end(); ++it)
        *it = *it == '/' ? '\\' : *it == '\\' ? '/' : *it;
}

std::string NamenAusPosix(std::string_view posix) {
    std::string programm;
    NamenAusPosixAn(posix, programm);
    return programm;
}

bool Laufwerkstabelle::IstEinhaengepunkt(std::string_view posix) const {
    return std::any_of(laufwerke_.begin(), laufwerke_.end(), [&](const Laufwerk& l) {
        return l.Bereit && l.Einhaengepunkt != "/" && l.Einhaengepunkt == posix;
    });
}

bool NurWindowsNamen(std::string_view typ, std::string_view optionen) {
    if (typ == "fuse.smbnetfs" || typ == "vfat" || typ == "msdos" || typ == "exfat")
        return true;
    if (typ != "cifs" && typ != "smb3")
        return false;
    std::size_t anfang = 0;
    while (anfang <= optionen.size()) {
        std::size_t ende = optionen.find(',', anfang);
        if (ende == std::string_view::npos)
            ende = optionen.size();
        const std::string_view option = optionen.substr(anfang, ende - anfang);
        // "unix": the old protocol's Unix extensions, which name a file by its POSIX name ("nounix" without them).
        if (option == "mapposix" || option == "mapchars" || option == "posix" || option == "unix")
            return false;
        anfang = ende + 1;
    }
    return true;
}

std::u32string GrossKleinForm(std::string_view name) {
    std::u32string form;
    form.reserve(name.size());
    for (std::size_t i = 0; i < name.size();)
        form.push_back(static_cast<char32_t>(Gross(Naechstes(name, i))));
    return form;
}

bool WindowsName(std::string_view name) {
    if (name.empty())
        return true;
    if (name.back() == '.' || name.back() == ' ')
        return false;
    // The slash is a backslash of the name on disk.
    if (std::any_of(name.begin(), name.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 ||
                   std::string_view(":?*\"<>|/\\").find(c) != std::string_view::npos;
        }))
        return false;
    // Bytes that are no UTF-8 (a share's server names files in Unicode; smbnetfs answers such a name with an
    // input/output error, and the run ends).
    for (std::size_t i = 0; i < name.size();) {
        const auto b = static_cast<unsigned char>(name[i]);
        const std::size_t laenge = b < 0x80                 ? 1
                                   : b >= 0xc2 && b <= 0xdf ? 2
                                   : b >= 0xe0 && b <= 0xef ? 3
                                   : b >= 0xf0 && b <= 0xf4 ? 4
                                                            : 0;
        if (laenge == 0 || i + laenge > name.size())
            return false;
        std::uint32_t zeichen = laenge == 1 ? b : b & (0x7fU >> laenge);
        for (std::size_t k = 1; k < laenge; ++k) {
            const auto f = static_cast<unsigned char>(name[i + k]);
            if ((f & 0xc0) != 0x80)
                return false;
            zeichen = (zeichen << 6) | (f & 0x3fU);
        }
        // Too long a form, a surrogate, beyond Unicode.
        if ((laenge == 3 && zeichen < 0x800) || (laenge == 4 && (zeichen < 0x10000 || zeichen > 0x10ffff)) ||
            (zeichen >= 0xd800 && zeichen <= 0xdfff))
            return false;
        i += laenge;
    }
    // The names of devices, bare or with any ending (a share's server shows such a file under another name, or
    // refuses it).
    std::string stamm(name.substr(0, name.find('.')));
    for (char& c : stamm)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    if (stamm == "con" || stamm == "prn" || stamm == "aux" || stamm == "nul")
        return false;
    return !(stamm.size() == 4 && (stamm.starts_with("com") || stamm.starts_with("lpt")) && stamm[3] >= '1' &&
             stamm[3] <= '9');
}

} // namespace tresor
