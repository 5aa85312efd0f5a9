// Which owner and bits a restored entry gets (see Besitzregel.h).
#include "engine/wiederherstellung/Besitzregel.h"

#include "engine/wiederherstellung/Sicherungspunkt.h"

#include <sys/stat.h>

namespace tresor {

Zuteilung Zuteile(const Bestandseintrag& e, const std::optional<Eintragsstand>& kopie, bool verwalter,
                  std::uint32_t uid, std::uint32_t gid) {
    Zuteilung z{StandAus(e), false};
    Eintragsstand& s = z.Stand;
    if (verwalter) {
        const bool belegt = kopie && kopie->Uid == e.Uid && kopie->Gid == e.Gid;
        if (!belegt) {
            s.Uid = kopie ? kopie->Uid : uid;
            s.Gid = kopie ? kopie->Gid : gid;
            s.Modus &= 0777;
            z.Fremd = true;
        }
    } else {
        if (e.Uid != uid)
            s.Modus &= ~static_cast<std::uint32_t>(S_ISUID);
        if (e.Gid != gid)
            s.Modus &= ~static_cast<std::uint32_t>(S_ISGID);
        s.Uid = uid;
        s.Gid = gid;
    }
    s.Modus &= (kopie ? kopie->Modus : 0U) | 07722U;
    return z;
}

} // namespace tresor
