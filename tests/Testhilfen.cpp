#include "tests/Testhilfen.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace tresor::test {

TempOrdner::TempOrdner() {
    std::string muster = (std::filesystem::temp_directory_path() / "tresor-test-XXXXXX").string();
    if (mkdtemp(muster.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    pfad_ = std::filesystem::canonical(muster);
}

TempOrdner::~TempOrdner() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info != nullptr && info->result() != nullptr && info->result()->Failed()) {
        std::cerr << "kept for inspection: " << pfad_ << '\n';
        return;
    }
    std::error_code ec;
    // Read-only folders inside would stop the removal; give the owner access again first.
    for (auto it = std::filesystem::recursive_directory_iterator(pfad_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
    }
    std::filesystem::permissions(pfad_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(pfad_, ec);
}

void SchreibeDatei(const std::filesystem::path& datei, std::string_view inhalt) {
    std::filesystem::create_directories(datei.parent_path());
    std::ofstream aus(datei, std::ios::binary | std::ios::trunc);
    aus.write(inhalt.data(), static_cast<std::streamsize>(inhalt.size()));
    if (!aus)
        throw std::runtime_error("cannot write " + datei.string());
}

std::string LiesDatei(const std::filesystem::path& datei) {
    std::ifstream ein(datei, std::ios::binary);
    std::ostringstream s;
    s << ein.rdbuf();
    return s.str();
}

void SetzeDosattrib(const std::filesystem::path& pfad, int wert) {
    char text[32];
    const int n = std::snprintf(text, sizeof text, "0x%x", wert);
    if (setxattr(pfad.c_str(), "user.DOSATTRIB", text, static_cast<std::size_t>(n), 0) != 0)
        throw std::runtime_error("cannot set user.DOSATTRIB on " + pfad.string());
}

Laufwerkstabelle TestLaufwerke(const TempOrdner& ordner) {
    std::filesystem::create_directories(ordner / "C");
    std::filesystem::create_directories(ordner / "D");
    return Laufwerkstabelle({Laufwerk{'C', (ordner / "C").string(), {}}, Laufwerk{'D', (ordner / "D").string(), {}}});
}

Zustand ZustandVon(const std::filesystem::path& p) {
    Zustand z;
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0)
        return z;
    z.Modus = st.st_mode;
    z.Uid = st.st_uid;
    z.Gid = st.st_gid;
    z.CtimeNs = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    if (S_ISREG(st.st_mode))
        z.Inhalt = LiesDatei(p);
    char namen[4096];
    const ssize_t n = ::llistxattr(p.c_str(), namen, sizeof namen);
    for (ssize_t i = 0; i < n; i += static_cast<ssize_t>(std::strlen(namen + i)) + 1) {
        char wert[4096];
        const ssize_t m = ::lgetxattr(p.c_str(), namen + i, wert, sizeof wert);
        z.Xattrs[namen + i] = m < 0 ? "?" : std::string(wert, static_cast<std::size_t>(m));
    }
    return z;
}

std::map<std::string, Zustand> BaumVon(const std::filesystem::path& wurzel) {
    std::map<std::string, Zustand> r;
    r[""] = ZustandVon(wurzel);
    for (const auto& e : std::filesystem::recursive_directory_iterator(wurzel))
        r[std::filesystem::relative(e.path(), wurzel).string()] = ZustandVon(e.path());
    return r;
}

std::map<std::string, bool> AndereFaeden() {
    std::map<std::string, bool> faeden;
    const std::string selbst = std::to_string(::gettid());
    for (const auto& faden : std::filesystem::directory_iterator("/proc/self/task")) {
        const std::string id = faden.path().filename();
        if (id == selbst)
            continue;
        std::ifstream status(faden.path() / "status");
        std::string zeile;
        bool blockiert = false;
        while (std::getline(status, zeile))
            if (zeile.starts_with("SigBlk:")) {
                const unsigned long long maske = std::stoull(zeile.substr(7), nullptr, 16);
                blockiert = true;
                for (const int signal : {SIGINT, SIGTERM, SIGHUP})
                    blockiert = blockiert && (maske & (1ULL << (signal - 1))) != 0;
            }
        faeden[id] = blockiert;
    }
    return faeden;
}

} // namespace tresor::test
