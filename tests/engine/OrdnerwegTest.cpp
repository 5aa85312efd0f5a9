// The folders a restore holds for their bits and times: in the walk's order each is finished as soon as the
// walk leaves it, after every folder inside it; a folder whose bits would shut its user out waits for the
// end with the folders around it; a list in another order keeps every folder to the end.
#include "engine/wiederherstellung/Ordnerweg.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace tresor {
namespace {

struct Wegfall {
    const char* name;
    bool wegordnung;
    // The entries in the order given: a trailing "/" marks a folder, "!" one not made by the restore, "*" one
    // whose bits lack the owner's search bit.
    std::vector<std::string> eintraege;
    // "|x" before the entry x, "+x" x finished; "||" at the end.
    std::string soll;
};

class Wegtest : public ::testing::TestWithParam<Wegfall> {};

TEST_P(Wegtest, FinishesEachFolderOnceAndAfterEveryFolderInsideIt) {
    const Wegfall& f = GetParam();
    std::string ist;
    std::set<std::string> gehalten; // what the restore knows of the folders: forgotten once left
    std::size_t hoechstens = 0;
    std::set<std::string> fremd, gesperrt;
    Ordnerweg weg(
        f.wegordnung,
        [&](const Bestandseintrag& o) -> std::optional<Ordnerweg::Abschluss> {
            EXPECT_EQ(gehalten.erase(o.Pfad), 1u) << o.Pfad;
            if (fremd.contains(o.Pfad))
                return std::nullopt;
            return Ordnerweg::Abschluss{"wohin/" + o.Pfad, gesperrt.contains(o.Pfad)};
        },
        [&](const Bestandseintrag& o, const std::string& relativ) {
            EXPECT_EQ(relativ, "wohin/" + o.Pfad);
            ist += " +" + o.Pfad;
        });
    for (std::string e : f.eintraege) {
        bool ordner = false;
        while (!e.empty() && (e.back() == '/' || e.back() == '!' || e.back() == '*')) {
            ordner = true;
            if (e.back() == '!')
                fremd.insert(e.substr(0, e.size() - 1));
            if (e.back() == '*')
                gesperrt.insert(e.substr(0, e.size() - 1));
            e.pop_back();
        }
        weg.Weiter(e);
        ist += " |" + e;
        if (ordner) {
            Bestandseintrag o;
            o.Art = Eintragsart::Ordner;
            o.Pfad = e;
            weg.Betrete(o);
            gehalten.insert(e);
        }
        hoechstens = std::max(hoechstens, weg.Gehalten());
    }
    ist += " ||";
    weg.Ende();
    EXPECT_EQ(ist.substr(1), f.soll);
    EXPECT_TRUE(gehalten.empty());
    EXPECT_EQ(weg.Gehalten(), 0u);
    // In the walk's order a tree of depth 3 holds at most its way, and what waits.
    if (f.wegordnung && gesperrt.empty()) {
        EXPECT_LE(hoechstens, 4u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ordnerweg, Wegtest,
    ::testing::Values(
        Wegfall{"Wegordnung",
                true,
                {"./", "a/", "a/x", "a/b/", "a/b/c/", "a/b/c/y", "a/d/", "a-b/", "a-b/z"},
                "|. |a |a/x |a/b |a/b/c |a/b/c/y +a/b/c +a/b |a/d +a/d +a |a-b |a-b/z || +a-b +."},
        // Only the folder "b" and what is in it: the walk passes the rest, and leaves b at a name after it.
        Wegfall{"Teil", true, {"b/", "b/x", "b/y/", "c"}, "|b |b/x |b/y +b/y +b |c ||"},
        Wegfall{"NichtGemacht", true, {"./", "a!", "a/b/", "c/"}, "|. |a |a/b +a/b |c || +c +."},
        // Its bits would shut the user out: it and the folders around it are finished at the end, it first.
        Wegfall{"Gesperrt",
                true,
                {"./", "a/", "a/b*", "a/b/c/", "a/b/c/x", "a/d/", "e/", "e/y"},
                "|. |a |a/b |a/b/c |a/b/c/x +a/b/c |a/d +a/d |e |e/y || +a/b +a +e +."},
        Wegfall{"GesperrtNichtGemacht", true, {"./", "a!", "a/b*", "c/"}, "|. |a |a/b |c || +a/b +c +."},
        // In another order (byte order of the paths): nothing is finished before the end, the last met first.
        Wegfall{"AndereOrdnung",
                false,
                {"./", "a/", "a-b/", "a-b/x", "a/c/", "a/c/y"},
                "|. |a |a-b |a-b/x |a/c |a/c/y || +a/c +a-b +a +."}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace tresor
