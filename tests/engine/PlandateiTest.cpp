// The plan of a thinning in the target: written and read back exactly, and any text that is not a whole plan of
// this program (torn, another checksum, a path that leaves its folder, an unknown line) is refused.
#include "engine/ausduennung/Bestandsaufnahme.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace tresor::test {
namespace {

using namespace ausduennung;

// A plan's text with a valid checksum and count around the given lines.
std::string Gerahmt(const std::vector<std::string>& zeilen) {
    std::string text = "tresor-ix-ausduennung 1\n";
    for (const std::string& z : zeilen)
        text += z + "\n";
    char summe[32];
    std::snprintf(summe, sizeof summe, "%016llx", static_cast<unsigned long long>(Fnv1a(text)));
    return text + "ende " + std::to_string(zeilen.size()) + " " + summe + "\n";
}

TEST(Plandatei, AWrittenPlanReadsBackAndAnythingElseIsRefused) {
    Ausduennungsplan plan;
    plan.Quelle = "C:\\home\\anna\\Daten mit Blank";
    plan.Bleiben = {"Sicherung-2026-03-14--09-00-03"};
    plan.Gehen = {"Sicherung-2026-03-14--09-00-01", "Sicherung-2026-03-14--09-00-02"};
    plan.Verschiebungen = {{"Sicherung-2026-03-14--09-00-01", "Sicherung-2026-03-14--09-00-03", "a b/%x\nneu", 12}};
    plan.NeueBestaende = {"Sicherung-2026-03-14--09-00-03"};
    plan.FreieBytes = 4711;
    const std::string text = SchreibePlan(plan, "/home/anna/Daten mit Blank");
    const auto gelesen = LiesPlan(text);
    ASSERT_TRUE(std::holds_alternative<GelesenerPlan>(gelesen)) << std::get<std::string>(gelesen);
    const GelesenerPlan& g = std::get<GelesenerPlan>(gelesen);
    EXPECT_EQ(g.QuellePosix, "/home/anna/Daten mit Blank");
    EXPECT_EQ(g.Plan.Quelle, plan.Quelle);
    EXPECT_EQ(g.Plan.Bleiben, plan.Bleiben);
    EXPECT_EQ(g.Plan.Gehen, plan.Gehen);
    ASSERT_EQ(g.Plan.Verschiebungen.size(), 1u);
    EXPECT_EQ(g.Plan.Verschiebungen[0].Pfad, "a b/%x\nneu");
    EXPECT_EQ(g.Plan.Verschiebungen[0].Bytes, 12u);
    EXPECT_EQ(g.Plan.NeueBestaende, plan.NeueBestaende);
    EXPECT_EQ(g.Plan.FreieBytes, 4711u);

    const std::string q = "quelle C:\\Daten";
    const std::string a = "Sicherung-2026-03-14--09-00-01", b = "Sicherung-2026-03-14--09-00-03";
    struct Fall {
        std::string Was;
        std::string Text;
    };
    std::string falscheSumme = text;
    falscheSumme[falscheSumme.size() - 3] = falscheSumme[falscheSumme.size() - 3] == '0' ? '1' : '0';
    const std::vector<Fall> faelle = {
        {"leer", ""},
        {"abgerissen", text.substr(0, text.size() / 2)},
        {"ohne letzten Zeilenumbruch", text.substr(0, text.size() - 1)},
        {"andere Prüfsumme", falscheSumme},
        {"andere Zahl der Zeilen", Gerahmt({q, "frei 0"}).replace(Gerahmt({q, "frei 0"}).find("ende 2"), 6, "ende 3")},
        {"anderer Kopf", "tresor-ix-ausduennung 2\nende 0 0000000000000000\n"},
        {"ohne Quelle", Gerahmt({"geht " + a})},
        {"Quelle, die ihr Laufwerk verlässt", Gerahmt({"quelle C:\\..\\x"})},
        {"Pfad nach oben", Gerahmt({q, "zieht " + a + " " + b + " 1 ../../etc/passwd"})},
        {"Pfad mit ..", Gerahmt({q, "zieht " + a + " " + b + " 1 a/../../b"})},
        {"absoluter Pfad", Gerahmt({q, "zieht " + a + " " + b + " 1 /etc/passwd"})},
        {"leerer Name", Gerahmt({q, "zieht " + a + " " + b + " 1 a//b"})},
        {"kein Sicherungsordner", Gerahmt({q, "geht ../Sicherung-2026-03-14--09-00-01"})},
        {"kein Sicherungsordner beim Ziehen", Gerahmt({q, "zieht " + a + " .. 1 x"})},
        {"unbekannte Zeile", Gerahmt({q, "loesche /"})},
        {"keine Zahl", Gerahmt({q, "frei viel"})},
    };
    for (const Fall& f : faelle)
        EXPECT_TRUE(std::holds_alternative<std::string>(LiesPlan(f.Text))) << f.Was;
}

} // namespace
} // namespace tresor::test
