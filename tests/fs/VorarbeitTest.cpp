// The ring of work done ahead of the walk on a second thread (fs/system/Vorarbeit.h), with a work that gives
// each entry its name as the job holds it: a result tells the job and the entry it was done for.

#include "fs/system/Vorarbeit.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <limits>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace tresor::test {
namespace {

using posix::Namensliste;
using Ring = posix::Vorarbeit<const char*>;
using Liste = std::shared_ptr<Namensliste>;

Liste Namen(const std::string& vorsilbe, std::size_t n) {
    auto liste = std::make_shared<Namensliste>();
    for (std::size_t i = 0; i < n; ++i)
        liste->Hinzu(vorsilbe + std::to_string(i));
    return liste;
}

std::size_t Vier(std::size_t vorn) {
    return std::min<std::size_t>(vorn, 4);
}
std::size_t Haelfte(std::size_t vorn) {
    return vorn / 2;
}

constexpr std::uint64_t Beliebig = std::numeric_limits<std::uint64_t>::max();

class VorarbeitTest : public ::testing::Test {
public:
    // The other thread's side: names it began, names held back until released, names whose work fails, and the
    // signal mask it ran with.
    std::mutex m;
    std::condition_variable cv;
    std::set<std::string> begonnen;
    std::set<std::string> gesperrt;
    std::set<std::string> misslingt;
    bool sigintGesperrt = false;
    bool sigtermGesperrt = false;
    std::unique_ptr<Ring> ring;

    ~VorarbeitTest() override { Neu(nullptr); }

    void Neu(Ring::Aufholen regel) {
        Frei();
        ring.reset();
        begonnen.clear();
        misslingt.clear();
        if (regel != nullptr)
            ring = std::make_unique<Ring>(
                [this](const Ring::Auftrag& auftrag, std::size_t index, const char*& name) {
                    name = auftrag.Namen->CName(index);
                    sigset_t maske;
                    pthread_sigmask(SIG_SETMASK, nullptr, &maske);
                    std::unique_lock<std::mutex> l(m);
                    sigintGesperrt = sigismember(&maske, SIGINT) == 1;
                    sigtermGesperrt = sigismember(&maske, SIGTERM) == 1;
                    begonnen.insert(name);
                    cv.notify_all();
                    cv.wait(l, [&] { return !gesperrt.contains(name); });
                    return !misslingt.contains(name);
                },
                regel);
    }
    void Sperre(const std::string& name) {
        const std::lock_guard<std::mutex> l(m);
        gesperrt.insert(name);
    }
    void Frei() {
        const std::lock_guard<std::mutex> l(m);
        gesperrt.clear();
        cv.notify_all();
    }
    // Waits (without a time limit: the other thread must get there) until the other thread began `name`.
    void WarteAuf(const std::string& name) {
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [&] { return begonnen.contains(name); });
    }
    // Waits until the other thread sleeps, having stored at least `vorab` results.
    void WarteBisRuhe(std::uint64_t vorab = 0) {
        for (auto z = ring->Stand(); !z.Wartet || z.Vorab < vorab; z = ring->Stand())
            std::this_thread::yield();
    }
    // What the walk gets for the entries `indizes` of `liste`, a letter each: v the other thread's result for that
    // very entry, s the entry handed back to the walk with its job, - nothing, x anything else.
    std::string Frage(const Liste& liste, std::initializer_list<std::size_t> indizes) {
        std::string r;
        for (const std::size_t i : indizes)
            r += Buchstabe(liste, i);
        return r;
    }
    std::string Frage(const Liste& liste, std::size_t von, std::size_t bis) {
        std::string r;
        for (std::size_t i = von; i < bis; ++i)
            r += Buchstabe(liste, i);
        return r;
    }

private:
    char Buchstabe(const Liste& liste, std::size_t i) {
        const Ring::Abgabe a = ring->Hole(i);
        if (a.Wert)
            return !a.Selbst && *a.Wert == liste->CName(i) ? 'v' : 'x';
        if (a.Selbst)
            return a.Selbst->Namen == liste ? 's' : 'x';
        return '-';
    }
};

std::string Mal(std::size_t n, char c) {
    return std::string(n, c);
}

// The walk asks for f0 while the other thread holds it, then, once the other thread rests, for the rest.
std::function<void(VorarbeitTest&)> Eingeholt(std::size_t n, std::string danach) {
    return [n, danach](VorarbeitTest& t) {
        const auto l = Namen("f", n);
        t.Sperre("f0");
        ASSERT_TRUE(t.ring->Beginne({}, l));
        t.WarteAuf("f0");
        EXPECT_EQ(t.Frage(l, {0}), "s"); // what the other thread finds for f0 is thrown away
        t.Frei();
        t.WarteBisRuhe();
        EXPECT_EQ(t.Frage(l, 1, n), danach);
    };
}

struct Fall {
    const char* Name;
    Ring::Aufholen Regel;
    std::function<void(VorarbeitTest&)> Ablauf;
    std::uint64_t Vorab; // the counters at the end (Beliebig: the row looks itself)
    std::uint64_t Selbst;
};

TEST_F(VorarbeitTest, EachEntryGetsItsOwnResultInTheWalksOrderAndTheWalkNeverWaits) {
    const Fall faelle[] = {
        {"nie mehr als der Vorlauf voraus, weiter erst mit der Hälfte davon frei", Vier,
         [](VorarbeitTest& t) {
             const auto l = Namen("f", 10 * Ring::Vorlauf);
             ASSERT_TRUE(t.ring->Beginne({}, l));
             t.WarteBisRuhe(Ring::Vorlauf);
             EXPECT_EQ(t.ring->Stand().Vorab, Ring::Vorlauf);
             EXPECT_EQ(t.Frage(l, 0, Ring::Vorlauf / 2), Mal(Ring::Vorlauf / 2, 'v'));
             t.WarteBisRuhe(Ring::Vorlauf + Ring::Vorlauf / 2);
         },
         Ring::Vorlauf + Ring::Vorlauf / 2, 0},
        {"viele, sofort gefragt: jeder Eintrag seins, von wem auch immer", Haelfte,
         [](VorarbeitTest& t) {
             const auto l = Namen("f", 3000);
             ASSERT_TRUE(t.ring->Beginne({}, l));
             const std::string folge = t.Frage(l, 0, 3000);
             EXPECT_EQ(folge.find_first_not_of("vs"), std::string::npos) << folge;
             const auto z = t.ring->Stand();
             EXPECT_EQ(z.Vorab, static_cast<std::uint64_t>(std::count(folge.begin(), folge.end(), 'v')));
             EXPECT_EQ(z.Vorab + z.Selbst, 3000u);
         },
         Beliebig, Beliebig},
        {"eingeholt: die nächsten vier selbst, der andere Faden dahinter weiter", Vier,
         Eingeholt(20, Mal(4, 's') + Mal(15, 'v')), 15, 5},
        {"eingeholt: die erste Hälfte selbst, die zweite der andere Faden", Haelfte, Eingeholt(9, "ssssvvvv"), 4, 5},
        {"ein neuer Auftrag, während der andere Faden am alten ist", Vier,
         [](VorarbeitTest& t) {
             const auto a = Namen("a", 3);
             const auto b = Namen("b", 3);
             t.Sperre("a0");
             ASSERT_TRUE(t.ring->Beginne({}, a));
             t.WarteAuf("a0");
             ASSERT_TRUE(t.ring->Beginne({}, b));
             t.Frei();
             t.WarteBisRuhe(3);
             EXPECT_EQ(t.Frage(b, 0, 3), "vvv");
         },
         3, 0},
        {"ab einem Eintrag begonnen, beendet, nichts zu tun", Vier,
         [](VorarbeitTest& t) {
             const auto l = Namen("f", 3);
             ASSERT_TRUE(t.ring->Beginne({}, l, 1));
             t.WarteBisRuhe(2);
             EXPECT_EQ(t.ring->Stand().Vorab, 2u);
             EXPECT_EQ(t.Frage(l, {0, 1}), "-v");
             t.ring->Beende();
             EXPECT_EQ(t.Frage(l, {2}), "-");
             EXPECT_FALSE(t.ring->Beginne({}, Namen("f", 0)));
             EXPECT_FALSE(t.ring->Beginne({}, l, 3));
             EXPECT_EQ(t.Frage(l, {0}), "-");
         },
         2, 0},
        {"verworfen: nichts mehr daraus", Vier,
         [](VorarbeitTest& t) {
             const auto l = Namen("f", 3);
             ASSERT_TRUE(t.ring->Beginne({}, l));
             t.WarteBisRuhe(3);
             t.ring->Verwirf(0);
             EXPECT_EQ(t.Frage(l, 0, 3), "---");
             t.ring->Verwirf(1); // nothing left to drop: not counted
         },
         3, 1},
        {"unberührt nur der letzte Auftrag dieser Namen, bis die erste Frage oder das Ende kommt", Vier,
         [](VorarbeitTest& t) {
             const auto a = Namen("a", 3);
             const auto b = Namen("a", 3); // the same names in another list: another listing
             EXPECT_FALSE(t.ring->Unberuehrt(a.get()));
             ASSERT_TRUE(t.ring->Beginne({}, a));
             t.WarteBisRuhe(3);
             EXPECT_TRUE(t.ring->Unberuehrt(a.get()));
             EXPECT_FALSE(t.ring->Unberuehrt(b.get()));
             EXPECT_EQ(t.Frage(a, {0}), "v");
             EXPECT_FALSE(t.ring->Unberuehrt(a.get()));
             ASSERT_TRUE(t.ring->Beginne({}, a));
             t.ring->Verwirf(2);
             EXPECT_FALSE(t.ring->Unberuehrt(a.get()));
             ASSERT_TRUE(t.ring->Beginne({}, a, 1));
             EXPECT_FALSE(t.ring->Unberuehrt(a.get())); // begun behind its first entry
             ASSERT_TRUE(t.ring->Beginne({}, b));
             EXPECT_TRUE(t.ring->Unberuehrt(b.get()));
             t.ring->Beende();
             EXPECT_FALSE(t.ring->Unberuehrt(b.get()));
             t.WarteBisRuhe();
         },
         Beliebig, Beliebig},
        {"misslungene Arbeit ist die des Gehenden; übergangene kommt später nicht, nichts zweimal, nichts weiter", Vier,
         [](VorarbeitTest& t) {
             const auto l = Namen("f", 50);
             t.misslingt = {"f1"};
             ASSERT_TRUE(t.ring->Beginne({}, l));
             t.WarteBisRuhe(49);
             EXPECT_EQ(t.Frage(l, {0, 1, 2, 7, 3, 8, 8, 49, 50}), "vsvv-v-v-");
         },
         49, 1},
        {"der andere Faden nimmt kein Signal und ist mit dem Ring fort", Vier,
         [](VorarbeitTest& t) {
             ASSERT_TRUE(t.ring->Beginne({}, Namen("f", 3)));
             t.WarteBisRuhe(3);
             t.ring.reset(); // wakes and joins the sleeping thread: what it wrote is seen here
             EXPECT_TRUE(t.sigintGesperrt);
             EXPECT_TRUE(t.sigtermGesperrt);
             sigset_t maske;
             pthread_sigmask(SIG_SETMASK, nullptr, &maske);
             EXPECT_EQ(sigismember(&maske, SIGINT), 0); // the walk's own mask is as it was
         },
         Beliebig, Beliebig},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Name);
        Neu(f.Regel);
        f.Ablauf(*this);
        if (f.Vorab != Beliebig) {
            EXPECT_EQ(ring->Stand().Vorab, f.Vorab);
            EXPECT_EQ(ring->Stand().Selbst, f.Selbst);
        }
    }
}

} // namespace
} // namespace tresor::test
