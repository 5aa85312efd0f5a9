#include "fs/posix/Eigentum.h"

#include "fs/system/ErweiterteAttribute.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

namespace tresor::posix {

namespace {

bool NichtUnterstuetzt(int fehler) {
    return fehler == ENOTSUP || fehler == EOPNOTSUPP;
}

} // namespace

mode_t Eigentumsmodus(int zielFd, const struct stat& quelle, struct stat* jetzt) {
    // Checked below through the bits it allows. Anyone else may give the copy a group of his own. A copy that
    // has the source's owner and group already is left as it is.
    mode_t modus = quelle.st_mode & 07777;
    if (jetzt != nullptr)
        jetzt->st_mode = ~static_cast<mode_t>(0);
    struct stat st {};
    if (::fstat(zielFd, &st) != 0)
        return modus & ~static_cast<mode_t>(S_ISUID | S_ISGID);
    if (st.st_uid != quelle.st_uid || st.st_gid != quelle.st_gid) {
        if (::geteuid() == 0)
            (void)::fchown(zielFd, quelle.st_uid, quelle.st_gid);
        else
            (void)::fchown(zielFd, static_cast<uid_t>(-1), quelle.st_gid);
        if (::fstat(zielFd, &st) != 0)
            return modus & ~static_cast<mode_t>(S_ISUID | S_ISGID);
    }
    if (jetzt != nullptr)
        *jetzt = st;
    if (st.st_uid != quelle.st_uid)
        modus &= ~static_cast<mode_t>(S_ISUID);
    if (st.st_gid != quelle.st_gid)
        modus &= ~static_cast<mode_t>(S_ISGID);
    return modus;
}

void VerweisEigentum(int ordnerFd, const char* name, const struct stat& quelle) {
    if (::geteuid() == 0)
        (void)::fchownat(ordnerFd, name, quelle.st_uid, quelle.st_gid, AT_SYMLINK_NOFOLLOW);
}

bool VorgabeAcl(const Ort& ordner) {
    if (GetxattrAn(ordner, "system.posix_acl_default", nullptr, 0) >= 0)
        return true;
    return errno != ENODATA && !NichtUnterstuetzt(errno);
}

int KopiereAcls(const Ort& quelle, int zielFd, bool ordner, bool zielOhneAcl, bool* geschrieben, bool quelleOhneAcl) {
    const char* const namen[] = {"system.posix_acl_access", "system.posix_acl_default"};
    for (int i = 0; i < (ordner ? 2 : 1); ++i) {
        const char* name = namen[i];
        const auto wert = i == 0 && quelleOhneAcl ? std::nullopt : LiesXattr(quelle, name);
        if (wert) {
            if (geschrieben != nullptr)
                *geschrieben = true;
            if (::fsetxattr(zielFd, name, wert->data(), wert->size(), 0) != 0 && !NichtUnterstuetzt(errno))
                return errno;
        } else if (zielOhneAcl ||
                   (::fgetxattr(zielFd, name, nullptr, 0) < 0 && (errno == ENODATA || NichtUnterstuetzt(errno)))) {
            // The copy holds none (it would have it from its folder's default ACL): nothing to remove. Looked at
            // first, which writes nothing, where a removal would write the inode.
        } else {
            if (geschrieben != nullptr)
                *geschrieben = true;
            if (::fremovexattr(zielFd, name) != 0 && errno != ENODATA && !NichtUnterstuetzt(errno))
                return errno;
        }
    }
    return 0;
}

int SetzeModus(int zielFd, mode_t modus, mode_t* gesetzt) {
    if (gesetzt != nullptr)
        *gesetzt = modus;
    if (::fchmod(zielFd, modus) == 0)
        return 0;
    const int fehler = errno;
    constexpr mode_t Sonderbits = S_ISUID | S_ISGID | S_ISVTX;
    if (fehler != EPERM || (modus & Sonderbits) == 0)
        return fehler;
    if (gesetzt != nullptr)
        *gesetzt = modus & ~Sonderbits;
    return ::fchmod(zielFd, modus & ~Sonderbits) == 0 ? 0 : errno;
}

} // namespace tresor::posix
