#include "tests/cli/Schnappschuss.h"

#include "engine/bestand/Anzeigetext.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tresor::test {

namespace fs = std::filesystem;

std::ostream& operator<<(std::ostream& o, const Schnappeintrag& e) {
    return o << e.Art << " mode=" << std::oct << e.Modus << std::dec << " mtime=" << e.MtimeNs << " uid=" << e.Uid
             << " gid=" << e.Gid << " dos=" << e.Dos << " inhalt=" << Anzeigetext(e.Inhalt);
}

// Names the differences of two snapshots, one line each, for a readable failure.
std::string Unterschiede(const Schnappschuss& soll, const Schnappschuss& ist) {
    std::ostringstream o;
    for (const auto& [rel, e] : soll) {
        const auto it = ist.find(rel);
        if (it == ist.end())
            o << "missing: " << Anzeigetext(rel) << "\n";
        else if (!(it->second == e))
            o << "different: " << Anzeigetext(rel) << "\n  want " << e << "\n  got  " << it->second << "\n";
    }
    for (const auto& [rel, e] : ist)
        if (!soll.contains(rel))
            o << "extra: " << Anzeigetext(rel) << "\n";
    return o.str();
}

namespace {

Schnappeintrag Lies(const fs::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0)
        throw std::runtime_error("lstat " + p.string());
    Schnappeintrag e;
    e.Modus = st.st_mode & 07777;
    e.MtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    e.Uid = st.st_uid;
    e.Gid = st.st_gid;
    if (S_ISDIR(st.st_mode)) {
        e.Art = 'O';
    } else if (S_ISLNK(st.st_mode)) {
        e.Art = 'V';
        e.Modus = 0; // a link's bits mean nothing on Linux
        e.Inhalt = fs::read_symlink(p).string();
    } else {
        e.Art = 'D';
        std::ifstream f(p, std::ios::binary);
        e.Inhalt.assign(std::istreambuf_iterator<char>(f), {});
    }
    char wert[64] = {};
    const ssize_t n = ::lgetxattr(p.c_str(), "user.DOSATTRIB", wert, sizeof wert - 1);
    if (n > 2 && wert[0] == '0' && wert[1] == 'x')
        e.Dos = static_cast<int>(std::strtol(wert + 2, nullptr, 16)) & 6;
    return e;
}

} // namespace

Schnappschuss Schnappe(const fs::path& wurzel) {
    Schnappschuss s;
    s["."] = Lies(wurzel);
    for (const auto& e : fs::recursive_directory_iterator(wurzel))
        s[fs::relative(e.path(), wurzel).string()] = Lies(e.path());
    return s;
}

} // namespace tresor::test
