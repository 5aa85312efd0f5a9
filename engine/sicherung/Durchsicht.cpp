// The scan of a backup run: whether anything in the source is to be backed up (AttrTest, DateiAttrTest, which
// stop at the first file that is), and the decision per file that the scan and the copy walk share (ZuSichern:
// the archive bit, or the target's lack of the file's present state).

#include "engine/sicherung/Sicherung.h"

#include <optional>
#include <variant>
#include <vector>

namespace tresor {

void Sicherung::AttrTest(const Pfad& atmp_Quelle) {
    Pruefpunkt();
    const Ordner ordner = Fso().GetFolder(atmp_Quelle);
    const std::vector<Ordner> unterordner = Fso().SubFolders(ordner);
    DateiAttrTest(ordner);
    tmp = std::monostate{};
    if (tmp_sichern == "ja")
        return;
    for (const Ordner& u : unterordner) {
        try {
            AttrTest(u.Path);
        } catch (const FsFehler& f) {
            // A folder that vanished since it was listed is simply not there; one that cannot be read is left
            // to the copy, which names it.
            const auto grund = Eintragsfehler(f, u.Path);
            if (!grund)
                throw;
            if (!Verschwunden(f))
                tmp_sichern = "ja";
        }
        tmp = std::monostate{};
        if (tmp_sichern == "ja")
            break;
    }
}

void Sicherung::DateiAttrTest(const Pfad& atmp_Quelle) {
    DateiAttrTest(Fso().GetFolder(atmp_Quelle));
}

void Sicherung::DateiAttrTest(const Ordner& ordner) {
    fc = Dateisammlung{ordner.Path, Fso().Files(ordner)};
    for (const Datei& datei : fc->Elemente) {
        Pruefpunkt();
        // Only whether the value reaches 32 counts here, or whether the target lacks the file's state.
        bool gefunden = false;
        try {
            Eintragsstand gesehen;
            gefunden = index_ ? ZuSichern(datei, gesehen).has_value() : Fso().ArchivGesetzt(datei);
        } catch (const FsFehler& f) {
            // As above: a vanished file is not there, any other trouble of the entry is the copy's to report.
            if (!Eintragsfehler(f, datei.Path))
                throw;
            if (Verschwunden(f))
                continue;
            gefunden = true;
        }
        if (gefunden) {
            tmp_sichern = "ja";
            break;
        }
    }
}

std::optional<Datei> Sicherung::ZuSichern(const Datei& datei, Eintragsstand& gesehen) {
    const bool sehen = bestand_ || index_;
    std::optional<Datei> objekt = Fso().DateiZuSichern(datei.Path, sehen ? &gesehen : nullptr);
    // Each target complete on its own: a file whose present state no backup folder of it holds is copied,
    // whatever its archive bit says (a backup folder deleted, another disk used last time, a new target).
    // A file whose bit is set only for the ctime its own record's write gave it counts as backed up where the
    // target holds that exact state (a folder beyond its map's rows).
    // The copy walk has the copy the record names looked at as well (Zielindex::KopieDa): where that copy is gone,
    // cut short or replaced on the target since, the target holds no version, and the file is copied either way.
    if (!objekt && index_ && (!index_->Haelt(datei.Path, gesehen) || index_->KopieDa() == Kopiebefund::Fehlt))
        objekt = datei;
    else if (objekt && gesehen.BisAufCtime && index_ && index_->Haelt(datei.Path, gesehen) &&
             index_->KopieDa() != Kopiebefund::Fehlt)
        objekt.reset();
    return objekt;
}

} // namespace tresor
