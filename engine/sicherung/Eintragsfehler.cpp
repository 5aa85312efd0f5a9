// The names and checks of a backup run that need none of its state: the backup folder's name, whether source
// and target overlap, and which errors are an entry's own (see Sicherung.h).
#include "engine/sicherung/Sicherung.h"

#include <cerrno>
#include <cstdio>

namespace tresor {

bool Ueberschneiden(const Pfad& quelle, const Pfad& ziel) {
    // Without trailing backslashes, but a drive root keeps its own ("C:\").
    auto ohneTrenner = [](Pfad p) {
        while (p.size() > 3 && p.back() == '\\')
            p.pop_back();
        return p;
    };
    const Pfad q = ohneTrenner(quelle);
    const Pfad z = ohneTrenner(ziel);
    if (z == q)
        return true;
    const Pfad darin = q.ends_with('\\') ? q : q + "\\";
    return z.starts_with(darin);
}

std::string Sicherungsordnername(const Datum& datum, const Zeit& zeit) {
    char text[64];
    std::snprintf(text, sizeof text, "Sicherung-%04d-%02d-%02d--%02d-%02d-%02d", datum.Jahr, datum.Monat, datum.Tag,
                  zeit.Stunde, zeit.Minute, zeit.Sekunde);
    return text;
}

std::optional<std::string> Sicherung::Eintragsfehler(const FsFehler& fehler, const Pfad& eintrag) {
    const Pfad& pfad = fehler.Path();
    const bool betrifftEintrag =
        pfad == eintrag || (pfad.size() > eintrag.size() && pfad.starts_with(eintrag) && pfad[eintrag.size()] == '\\');
    if (!betrifftEintrag)
        return std::nullopt;
    const std::error_code u = fehler.Ursache();
    const bool systemfehler = u.category() == std::generic_category() || u.category() == std::system_category();
    // A source drive that is no longer there is no trouble of one entry.
    if (systemfehler && (u.value() == ENODEV || u.value() == ENXIO))
        return std::nullopt;
    if (Verschwunden(fehler))
        return std::string("nicht mehr vorhanden");
    if (systemfehler && u.value() == EINVAL)
        return std::string("keine gewöhnliche Datei mehr");
    if (systemfehler && u.value() == ENOTSUP && fehler.Operation() == "Copy")
        return std::string("das Ziel kann keine symbolischen Verknüpfungen speichern");
    if (fehler.Operation() == "SetFileAttr") {
        if (systemfehler && (u.value() == ENOSPC || u.value() == E2BIG || u.value() == EDQUOT))
            return std::string("kein Platz für den Archivvermerk");
        return "Archivvermerk nicht schreibbar: " + Fehlertext(u);
    }
    return Fehlertext(u);
}

bool Sicherung::Verschwunden(const FsFehler& fehler) {
    const std::error_code u = fehler.Ursache();
    return (u.category() == std::generic_category() || u.category() == std::system_category()) &&
           (u.value() == ENOENT || u.value() == ENOTDIR);
}

} // namespace tresor
