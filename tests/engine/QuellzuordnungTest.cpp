// Which records are those of the source asked for: by its path today, or as its records name it, whatever drive
// its letter names today; the folder that letter names now, and a source that is there under another letter, are
// never taken for a source that is gone.
#include "engine/bestand/Quellzuordnung.h"

#include <gtest/gtest.h>

namespace tresor::test {
namespace {

Bestand Kopf(const Pfad& quelle, const std::string& posix) {
    Bestand b;
    b.Quelle = quelle;
    b.QuellePosix = posix;
    return b;
}

Quellangabe WieVerzeichnet(const Pfad& quelle, const std::string& posix = {}) {
    return Quellangabe(quelle, posix);
}

TEST(Quellzuordnung, ARecordIsTheSourcesByItsPlaceTodayOrAsRecordedNeverByItsNameAlone) {
    // The disk at /media/alt was E: when it was backed up and is gone; the disk at /media/neu was F: then and has
    // E: today.
    const Laufwerkstabelle heute({Laufwerk{'C', "/", {}}, Laufwerk{'E', "/media/neu", {}}});
    const Laufwerkstabelle ohneE({Laufwerk{'C', "/", {}}});
    const Laufwerkstabelle neuAlsF({Laufwerk{'C', "/", {}}, Laufwerk{'F', "/media/neu", {}}});
    const Bestand alt = Kopf("E:\\Fotos", "/media/alt/Fotos");
    const Bestand neu = Kopf("E:\\Fotos", "/media/neu/Fotos");
    const Bestand neuFrueher = Kopf("F:\\Fotos", "/media/neu/Fotos");
    struct Fall {
        const char* was;
        const Laufwerkstabelle& tabelle;
        Quellangabe angabe;
        const Bestand& kopf;
        bool nimmt;
        bool wieVerzeichnet; // the source is taken as its records name it
    };
    const std::vector<Fall> faelle = {
        {"the drive's folder today, its own record", heute, "E:\\Fotos", neu, true, false},
        {"the drive's folder today, its record from when it was F:", heute, "E:\\Fotos", neuFrueher, true, false},
        {"the drive's folder today, the gone disk's record of that name", heute, "E:\\Fotos", alt, false, false},
        {"as recorded: the gone disk's record", heute, WieVerzeichnet("E:\\Fotos"), alt, true, true},
        {"as recorded: never the record of the folder the letter names today", heute, WieVerzeichnet("E:\\Fotos"), neu,
         false, true},
        {"as recorded: never a source that is there under another letter", heute, WieVerzeichnet("F:\\Fotos"),
         neuFrueher, false, true},
        {"as recorded, its place given", heute, WieVerzeichnet("E:\\Fotos", "/media/alt/Fotos"), alt, true, true},
        {"as recorded, another place given", heute, WieVerzeichnet("E:\\Fotos", "/media/dritt/Fotos"), alt, false,
         true},
        {"as recorded, the path below the drive differs", heute, WieVerzeichnet("E:\\Bilder"), alt, false, true},
        {"no drive E: today: its records, asked for as they name it", ohneE, "E:\\Fotos", alt, true, true},
        {"no drive E: today: not the record of a source that is F: now", neuAlsF, "E:\\Fotos", neu, false, true},
        {"no drive E: today: that source asked for by its path today", neuAlsF, "F:\\Fotos", neu, true, false},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.was);
        const Quellzuordnung zuordnung(f.tabelle, f.angabe);
        EXPECT_EQ(zuordnung.Nimmt(f.kopf), f.nimmt);
        EXPECT_EQ(zuordnung.WieVerzeichnet(), f.wieVerzeichnet);
    }
    // Reached today: the record's place is the same path below a drive today, whatever its letter.
    EXPECT_TRUE(HeuteErreichbar(heute, neuFrueher));
    EXPECT_FALSE(HeuteErreichbar(heute, alt));
    EXPECT_FALSE(HeuteErreichbar(heute, Kopf("C:\\Fotos", "/media/alt/Fotos")));
}

TEST(Quellzuordnung, ASourceAsRecordedIsShownWithThePlaceItHad) {
    EXPECT_EQ(Quelltext("E:\\Fotos", std::nullopt), "E:\\Fotos");
    EXPECT_EQ(Quelltext("E:\\Fotos", "/data/Fotos"), "E:\\Fotos (früher /data/Fotos)");
    EXPECT_EQ(Quelltext(WieVerzeichnet("E:\\Fotos")), "E:\\Fotos");
    EXPECT_EQ(Quelltext(WieVerzeichnet("E:\\Fotos", "/data/\nFotos")), "E:\\Fotos (früher /data/\\x0aFotos)");
}

} // namespace
} // namespace tresor::test
