// Which records are those of the source asked for (see Quellzuordnung.h).
#include "engine/bestand/Quellzuordnung.h"

#include "engine/bestand/Anzeigetext.h"
#include "engine/bestand/Sicherungsfolge.h"

namespace tresor {

bool HeuteErreichbar(const Laufwerkstabelle& laufwerke, const Bestand& kopf) {
    const Pfad heute = QuelleHeute(laufwerke, kopf.Quelle, kopf.QuellePosix);
    const std::optional<std::string> posix = laufwerke.ZuPosix(heute);
    return posix && GleicheQuelle(kopf, heute, *posix);
}

std::string Quelltext(const Pfad& quelle, const std::optional<std::string>& frueher) {
    std::string text = Anzeigetext(quelle);
    if (frueher && !frueher->empty())
        text += " (früher " + Anzeigetext(*frueher) + ")";
    return text;
}

std::string Quelltext(const Quellangabe& angabe) {
    return Quelltext(angabe.Quelle, angabe.WieVerzeichnet ? std::optional<std::string>(angabe.Posix) : std::nullopt);
}

std::string HinweisWieVerzeichnet(const Pfad& quelle, const std::string& posix) {
    return "Die Sicherungen von " + Quelltext(quelle, posix) +
           " gehören zu einer Quelle, deren Laufwerk nicht da ist: sie werden so angefragt, wie ihre"
           " Bestandslisten die Quelle nennen (wie verzeichnet).\n";
}

Quellzuordnung::Quellzuordnung(const Laufwerkstabelle& laufwerke, Quellangabe angabe)
    : laufwerke_(laufwerke), angabe_(std::move(angabe)), posix_(laufwerke.ZuPosix(angabe_.Quelle).value_or("")) {}

bool Quellzuordnung::Nimmt(const Bestand& kopf) const {
    if (!WieVerzeichnet())
        return GleicheQuelle(kopf, angabe_.Quelle, posix_);
    // As its records name it: the name alone is not enough, for the letter may name another drive today whose
    // folder of that name has backups of its own here, and a source that is there under another letter since
    // bears its old name in its older records.
    return !UnterDemLaufwerk(angabe_.Quelle).empty() && kopf.Quelle == angabe_.Quelle &&
           (angabe_.Posix.empty() || kopf.QuellePosix == angabe_.Posix) && !HeuteErreichbar(laufwerke_, kopf);
}

bool Quellzuordnung::Verdeckt(const Bestand& kopf) const {
    return !WieVerzeichnet() && (kopf.Quelle == angabe_.Quelle || kopf.QuellePosix == posix_) && !Nimmt(kopf) &&
           !HeuteErreichbar(laufwerke_, kopf);
}

} // namespace tresor
