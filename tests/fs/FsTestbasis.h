#pragma once

#include "fs/Attribute.h"
#include "fs/Dateisystem.h"
#include "fs/FsFehler.h"
#include "fs/posix/PosixDateisystem.h"
#include "tests/Testhilfen.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tresor::test {

// The user and group that unprivileged subjects run as.
inline constexpr uid_t Niemand = 65534;

// A test on real temporary folders: drives C: and D: map to the folders "C" and "D" of a fresh temporary
// folder, and `fs` is a file-system object on that table.
class FsTest : public ::testing::Test {
protected:
    TempOrdner tmp;
    Laufwerkstabelle tabelle = TestLaufwerke(tmp);
    std::unique_ptr<Dateisystem> fs = ErzeugePosixDateisystem(tabelle);

    // The POSIX path of a name below drive C:.
    std::filesystem::path C(const std::string& rel = {}) const { return rel.empty() ? tmp / "C" : tmp / "C" / rel; }
    std::filesystem::path D(const std::string& rel = {}) const { return rel.empty() ? tmp / "D" : tmp / "D" / rel; }

    static void SetzeXattr(const std::filesystem::path& p, const char* name, const std::string& wert) {
        ASSERT_EQ(::lsetxattr(p.c_str(), name, wert.data(), wert.size(), 0), 0) << p << " " << name;
    }
    static std::optional<std::string> Xattr(const std::filesystem::path& p, const char* name) {
        char puffer[512];
        const ssize_t n = ::lgetxattr(p.c_str(), name, puffer, sizeof puffer);
        if (n < 0)
            return std::nullopt;
        return std::string(puffer, static_cast<std::size_t>(n));
    }
    static mode_t Modus(const std::filesystem::path& p) {
        struct stat st {};
        EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
        return st.st_mode & 07777;
    }
    // Lets an unprivileged user reach everything below the temporary folder.
    void FuerAlleBegehbar() const {
        std::filesystem::permissions(tmp.Pfad(), std::filesystem::perms(0755));
        std::filesystem::permissions(tmp / "C", std::filesystem::perms(0755));
        std::filesystem::permissions(tmp / "D", std::filesystem::perms(0755));
    }
};

// Runs `arbeit` in a child process as the unprivileged user and group 65534 and returns its exit status
// (-1 when it did not exit normally). Nothing when this process cannot change its user (not run as root):
// the caller skips the test then.
// `arbeit` must not use the test framework's assertions; it answers through its return value.
inline std::optional<int> AlsNiemand(const std::function<int()>& arbeit) {
    if (::geteuid() != 0)
        return std::nullopt;
    const pid_t kind = ::fork();
    if (kind < 0)
        return std::nullopt;
    if (kind == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(Niemand, Niemand, Niemand) != 0 ||
            ::setresuid(Niemand, Niemand, Niemand) != 0)
            ::_exit(125);
        int ergebnis = 126;
        try {
            ergebnis = arbeit();
        } catch (...) {
            ergebnis = 127;
        }
        ::_exit(ergebnis);
    }
    int status = 0;
    if (::waitpid(kind, &status, 0) != kind || !WIFEXITED(status))
        return -1; // a crash is a failure, never a reason to skip
    if (WEXITSTATUS(status) == 125)
        return std::nullopt;
    return WEXITSTATUS(status);
}

// The same in a child process that keeps this process's user (for limits that must not reach the test).
inline int ImKindprozess(const std::function<int()>& arbeit) {
    const pid_t kind = ::fork();
    if (kind == 0) {
        int ergebnis = 126;
        try {
            ergebnis = arbeit();
        } catch (...) {
            ergebnis = 127;
        }
        ::_exit(ergebnis);
    }
    int status = 0;
    if (kind < 0 || ::waitpid(kind, &status, 0) != kind || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

} // namespace tresor::test
