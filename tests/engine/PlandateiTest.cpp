// The plan of a thinning in the target: written and read back exactly, and any text that is not a whole plan of
// this program (torn, another checksum, a path that leaves its folder, an unknown line) is refused.
#include "engine/ausduennung/Bestandsaufnahme.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

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
    plan.NeueBestaende = {"Sicherung-2026-03-14--09-00-03"};
    plan.FreieBytes = 4711;
    const std::string text =
        SchreibePlan(plan, "/home/anna/Daten mit Blank",
                     {{"Sicherung-2026-03-14--09-00-01", "Sicherung-2026-03-14--09-00-03", "a b/%x\nneu", 12}});
    const auto gelesen = LiesPlan(text);
    ASSERT_TRUE(std::holds_alternative<GelesenerPlan>(gelesen)) << std::get<std::string>(gelesen);
    const GelesenerPlan& g = std::get<GelesenerPlan>(gelesen);
    EXPECT_EQ(g.QuellePosix, "/home/anna/Daten mit Blank");
    EXPECT_EQ(g.Plan.Quelle, plan.Quelle);
    EXPECT_EQ(g.Plan.Bleiben, plan.Bleiben);
    EXPECT_EQ(g.Plan.Gehen, plan.Gehen);
    EXPECT_EQ(g.Plan.Verschiebungen, 1u);
    auto leser = Planleser::Oeffne(Textquelle(text));
    ASSERT_TRUE(std::holds_alternative<Planleser>(leser));
    const Verschiebung* v = std::get<Planleser>(leser).Naechste();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->Pfad, "a b/%x\nneu");
    EXPECT_EQ(v->Bytes, 12u);
    EXPECT_EQ(std::get<Planleser>(leser).Naechste(), nullptr);
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

// The moves of a plan come back in the walk's order of their paths, as often as asked, without the reader holding
// them: a plan written in that order is read from its text each time; one that an earlier version wrote in the
// order of the folders the copies came from is put in that order. A plan whose text changes after it was opened
// stops with a reason.
TEST(Plandatei, MovesComeBackInTheWalksOrderFromPlansOfEitherOrder) {
    const std::string a = "Sicherung-2026-03-14--09-00-01", b = "Sicherung-2026-03-14--09-00-02",
                      c = "Sicherung-2026-03-14--09-00-03";
    Ausduennungsplan plan;
    plan.Quelle = "C:\\Daten";
    plan.Gehen = {a, b};
    plan.Bleiben = {c};
    struct Fall {
        const char* was;
        std::vector<Verschiebung> zuege;
        std::vector<std::string> erwartet; // Von:Pfad in the order read
    };
    const std::vector<Fall> faelle = {
        {"in der Wegordnung",
         {{a, c, "x.txt", 1}, {b, c, "x.txt", 2}, {a, c, "z/y.txt", 3}},
         {a + ":x.txt", b + ":x.txt", a + ":z/y.txt"}},
        // A folder's files before its subfolders: "z/y.txt" comes after "zz.txt" although it sorts before it.
        {"nach Herkunft (frühere Fassung)",
         {{a, c, "z/y.txt", 3}, {a, c, "zz.txt", 4}, {b, c, "a/b.txt", 5}, {b, c, "x.txt", 2}},
         {b + ":x.txt", a + ":zz.txt", b + ":a/b.txt", a + ":z/y.txt"}},
        {"ohne Verschiebung", {}, {}},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.was);
        auto geoeffnet = Planleser::Oeffne(Textquelle(SchreibePlan(plan, "/daten", f.zuege)));
        ASSERT_TRUE(std::holds_alternative<Planleser>(geoeffnet));
        Planleser& leser = std::get<Planleser>(geoeffnet);
        EXPECT_EQ(leser.Plan().Plan.Verschiebungen, f.zuege.size());
        for (int runde = 0; runde < 2; ++runde) {
            std::vector<std::string> gelesen;
            leser.VonVorn();
            while (const Verschiebung* v = leser.Naechste())
                gelesen.push_back(v->Von + ":" + v->Pfad);
            EXPECT_EQ(gelesen, f.erwartet);
            EXPECT_EQ(leser.Fehler(), "");
        }
    }

    // The text under the reader changes after it was opened (a file in the target someone else writes).
    class Wandelbar final : public Bestandsquelle {
    public:
        explicit Wandelbar(std::string* text) : text_(text) {}
        [[nodiscard]] std::uint64_t Groesse() const override { return text_->size(); }
        std::size_t Lies(std::uint64_t ab, char* ziel, std::size_t n) override {
            return ab >= text_->size() ? 0 : text_->copy(ziel, n, static_cast<std::size_t>(ab));
        }

    private:
        std::string* text_;
    };
    std::string text = SchreibePlan(plan, "/daten", {{a, c, "x.txt", 1}, {b, c, "y.txt", 2}});
    auto geoeffnet = Planleser::Oeffne(std::make_unique<Wandelbar>(&text));
    ASSERT_TRUE(std::holds_alternative<Planleser>(geoeffnet));
    Planleser& leser = std::get<Planleser>(geoeffnet);
    text.replace(text.find("y.txt"), 5, "w.txt");
    leser.VonVorn();
    std::size_t zuege = 0;
    while (leser.Naechste() != nullptr)
        ++zuege;
    EXPECT_LE(zuege, 2u);
    EXPECT_FALSE(leser.Fehler().empty());
}

} // namespace
} // namespace tresor::test
