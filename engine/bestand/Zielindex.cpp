// What a target holds of a source (see Zielindex.h).
#include "engine/bestand/Zielindex.h"

#include "engine/bestand/Sicherungsfolge.h"
#include "fs/FsFehler.h"
#include "fs/posix/Eintragszugriff.h"
#include "fs/system/Faden.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

namespace tresor {

// Reads the record's entries on a thread of its own, a block at a time, while the walk looks at the source: on a
// machine of two cores the reading and checking of the entries costs the walk nothing but the hand-over of a
// block. The entries are those the reader gives, each checked by it as it is read, in its order, and the walk
// takes them in that order only; a few blocks at most are read ahead, so memory stays flat. An entry handed out
// stays valid until the next is asked for.
//
// For a walk that writes a record of its own, the thread also looks at the copy each entry names (Kopienblick, with
// an access of its own to the target): the walk's record takes an earlier version only where its copy is still
// there, and those looks, one per file left, are the walk's largest cost after its own looks at the source.
class Zielindex::Vorlauf {
public:
    static constexpr std::size_t Block = 256;
    // The first block of a walk is this small, and each after it twice the one before, up to Block: the walk asks
    // for its first entry at once, and would otherwise wait for a whole block to be read and its copies looked at.
    static constexpr std::size_t ErsterBlock = 8;

    // The copies are looked at where `laufwerke` is given: in the backup folders `sicherungen` of `ziel`, which must
    // outlive this object, as mirrors of `quelle`.
    struct Kopien {
        const Laufwerkstabelle& Laufwerke;
        const Pfad& Ziel;
        const Pfad& Quelle;
        const std::set<std::string, std::less<>>& Sicherungen;
    };

    Vorlauf(Bestandsleser& leser, const std::optional<Kopien>& kopien) : leser_(leser) {
        for (std::size_t i = 0; i < bloecke_.size(); ++i) {
            bloecke_[i].Eintraege.resize(Block);
            bloecke_[i].Befunde.resize(Block);
            leer_.push_back(i);
        }
        if (kopien) {
            sicherungen_ = &kopien->Sicherungen;
            zugriff_.emplace(kopien->Laufwerke);
            blick_.emplace(*zugriff_, kopien->Ziel, kopien->Quelle);
        }
        // The thread takes no signal: a stop asked for reaches the walk's thread and interrupts what it waits on.
        faden_ = FadenOhneSignale([this] { Arbeite(); });
        if (!faden_.joinable())
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    ~Vorlauf() {
        {
            const std::lock_guard<std::mutex> halt(sperre_);
            halt_ = true;
        }
        wecker_.notify_all();
        faden_.join();
    }
    Vorlauf(const Vorlauf&) = delete;
    Vorlauf& operator=(const Vorlauf&) = delete;

    const Bestandseintrag* Naechster() {
        if (jetzt_ == nullptr || stelle_ == jetzt_->Anzahl) {
            if (jetzt_ != nullptr && jetzt_->Ende)
                return nullptr;
            std::unique_lock<std::mutex> halt(sperre_);
            if (jetzt_ != nullptr)
                leer_.push_back(static_cast<std::size_t>(jetzt_ - bloecke_.data()));
            wecker_.notify_all();
            wecker_.wait(halt, [this] { return !voll_.empty(); });
            jetzt_ = &bloecke_[voll_.front()];
            voll_.pop_front();
            stelle_ = 0;
            if (jetzt_->Anzahl == 0)
                return nullptr;
        }
        return &jetzt_->Eintraege[stelle_++];
    }
    // What the look at the copy of the entry handed out last found.
    [[nodiscard]] Kopiebefund Befund() const {
        return jetzt_ != nullptr && stelle_ > 0 ? jetzt_->Befunde[stelle_ - 1] : Kopiebefund::Ungesehen;
    }
    // Adds the backup folders the thread found unreadable so far (Zielindex::Unlesbar) to `in`.
    void NimmUnlesbare(std::map<std::string, std::string>& in) {
        const std::lock_guard<std::mutex> halt(sperre_);
        in.insert(unlesbar_.begin(), unlesbar_.end());
    }

private:
    struct Stapel {
        std::vector<Bestandseintrag> Eintraege;
        std::vector<Kopiebefund> Befunde; // of each entry, where the copies are looked at
        std::size_t Anzahl = 0;
        bool Ende = false; // the reader gave its last entry (or stopped) within this block
    };

    void Arbeite() {
        for (;;) {
            std::size_t i = 0;
            {
                std::unique_lock<std::mutex> halt(sperre_);
                wecker_.wait(halt, [this] { return halt_ || !leer_.empty(); });
                if (halt_)
                    return;
                i = leer_.front();
                leer_.pop_front();
            }
            Stapel& s = bloecke_[i];
            s.Anzahl = 0;
            s.Ende = false;
            const std::size_t grenze = grenze_;
            grenze_ = std::min(Block, 2 * grenze_);
            while (s.Anzahl < grenze) {
                const Bestandseintrag* e = leser_.Naechster();
                if (e == nullptr) {
                    s.Ende = true;
                    break;
                }
                s.Befunde[s.Anzahl] = Befund(*e);
                s.Eintraege[s.Anzahl++] = *e; // the strings' room is used again
            }
            {
                const std::lock_guard<std::mutex> halt(sperre_);
                voll_.push_back(i);
            }
            wecker_.notify_all();
            if (s.Ende)
                return;
        }
    }

    Kopiebefund Befund(const Bestandseintrag& e) {
        if (!blick_ || e.Art == Eintragsart::Ordner)
            return Kopiebefund::Ungesehen;
        // Only a backup folder the target held when the run began holds a copy: the record is untrusted, and its
        // word for any other place (one made since, or no backup folder at all) is not looked up.
        if (e.Ort == OrtFehlt || !sicherungen_->contains(e.Ort))
            return Kopiebefund::Fehlt;
        try {
            return blick_->Da(e) ? Kopiebefund::Da : Kopiebefund::Fehlt;
        } catch (const FsFehler& f) {
            // A backup folder whose blocks no longer read, or that this user may not read, holds no copy this run
            // can vouch for: the file is copied again, and the run names the folder.
            if (Uebergehbar(f.Ursache())) {
                const std::lock_guard<std::mutex> halt(sperre_);
                unlesbar_.try_emplace(e.Ort, Unlesbarkeit(f.Ursache()));
                return Kopiebefund::Fehlt;
            }
            // The walk looks itself and meets the failure there, as it would without this thread.
            return Kopiebefund::Ungesehen;
        }
    }

    Bestandsleser& leser_;
    const std::set<std::string, std::less<>>* sicherungen_ = nullptr;
    std::optional<Eintragszugriff> zugriff_; // the thread's own
    std::optional<Kopienblick> blick_;
    std::array<Stapel, 3> bloecke_;
    std::mutex sperre_;
    std::condition_variable wecker_;
    std::deque<std::size_t> leer_; // blocks free for the thread
    std::deque<std::size_t> voll_; // blocks read, in the record's order
    bool halt_ = false;
    std::map<std::string, std::string> unlesbar_; // the thread's finds (NimmUnlesbare), under sperre_
    std::size_t grenze_ = ErsterBlock;            // the thread's: the most entries of its next block
    Stapel* jetzt_ = nullptr;                     // the walk's block
    std::size_t stelle_ = 0;                      // the next entry of it
    std::thread faden_;
};

void RelativZurQuelleIn(const Pfad& quelle, const Pfad& pfad, std::string& in) {
    in.clear();
    if (pfad == quelle) {
        in += '.';
        return;
    }
    const std::size_t anfang = quelle.size() == 3 ? 3 : quelle.size() + 1;
    NamenAusPosixAn(std::string_view(pfad).substr(anfang), in);
}

std::string RelativZurQuelle(const Pfad& quelle, const Pfad& pfad) {
    std::string relativ;
    RelativZurQuelleIn(quelle, pfad, relativ);
    return relativ;
}

Zielindex::Zielindex(const Laufwerkstabelle& laufwerke, const Pfad& ziel, const Pfad& quelle)
    : quelle_(quelle), ziel_(ziel) {
    Eintragszugriff zugriff(laufwerke);
    std::vector<std::string> namen;
    try {
        namen = Sicherungsordnernamen(zugriff, ziel);
    } catch (const FsFehler&) {
        return; // nothing known of the target: everything is to be backed up, and the run names what fails
    }
    sicherungen_.insert(namen.begin(), namen.end());
    const std::string posix = laufwerke.ZuPosix(quelle).value_or("");
    for (auto it = namen.rbegin(); it != namen.rend() && !leser_; ++it) {
        Bestandsfund fund;
        auto leser = LiesBestandsleser(zugriff, ziel, *it, &fund);
        if (leser && GleicheQuelle(leser->Kopf(), quelle, posix)) {
            leser_ = std::move(leser);
            ordner_ = *it;
        } else if (fund.Unlesbar) {
            // Perhaps the source's newest backup: passed over as a torn record is, and named.
            unlesbar_.try_emplace(*it, fund.Fehler);
        }
    }
    if (leser_)
        laufwerke_ = laufwerke;
}

Zielindex::~Zielindex() {
    // The thread is done before the members it reads go.
    vorlauf_.reset();
}

const Bestandseintrag* Zielindex::Naechster() {
    if (!vorlauf_) {
        befund_ = Kopiebefund::Ungesehen;
        return leser_->Naechster();
    }
    const Bestandseintrag* e = vorlauf_->Naechster();
    befund_ = vorlauf_->Befund();
    return e;
}

std::map<std::string, std::string> Zielindex::Unlesbar() {
    if (vorlauf_)
        vorlauf_->NimmUnlesbare(unlesbar_);
    return unlesbar_;
}

bool Zielindex::Uebergangen() {
    if (leser_ && laufwerke_) {
        Eintragszugriff zugriff(*laufwerke_);
        for (const auto& [ort, anzahl] : leser_->Kopf().Zahlen.Orte) {
            (void)anzahl;
            if (ort == ordner_ || ort == OrtFehlt || !sicherungen_.contains(ort) || unlesbar_.contains(ort))
                continue;
            try {
                (void)zugriff.Namen(Unterpfad(ziel_, ort));
            } catch (const FsFehler& f) {
                // Any other failure the walk that copies meets again where it matters.
                if (Uebergehbar(f.Ursache()))
                    unlesbar_.try_emplace(ort, Unlesbarkeit(f.Ursache()));
            }
        }
    }
    return !Unlesbar().empty();
}

void Zielindex::Neu(bool kopienAnsehen) {
    if (vorlauf_)
        vorlauf_->NimmUnlesbare(unlesbar_);
    vorlauf_.reset();
    // The index takes each entry as it is read, checked field by field; the checksum was checked over the whole
    // file when it was opened, and its second reading would only tell at the end of the walk.
    if (leser_) {
        leser_->VonVorn(false);
        std::optional<Vorlauf::Kopien> kopien;
        if (kopienAnsehen && laufwerke_)
            kopien.emplace(Vorlauf::Kopien{*laufwerke_, ziel_, quelle_, sicherungen_});
        // Where no thread can be had, the walk reads the entries itself (and the copies are looked at where needed).
        try {
            vorlauf_ = std::make_unique<Vorlauf>(*leser_, kopien);
        } catch (const std::system_error&) {
        }
    }
    eintrag_ = nullptr;
    befund_ = Kopiebefund::Ungesehen;
    gefundenBefund_ = Kopiebefund::Ungesehen;
    begonnen_ = false;
    zuletzt_.clear();
    beantwortet_ = false;
    gefunden_ = nullptr;
}

bool Zielindex::Haelt(const Pfad& pfad, const Eintragsstand& jetzt) {
    beantwortet_ = false;
    gefunden_ = nullptr;
    if (!leser_)
        return false;
    // Into the buffer of the question before, so that a file asked costs no string of its own.
    RelativZurQuelleIn(quelle_, pfad, frage_);
    const std::string& relativ = frage_;
    // The walk never asks for a file before the one it asked for last; a question that does is answered
    // without moving, so the entries still ahead stay there for the walk.
    if (begonnen_ && Wegordnung(relativ, false, zuletzt_, false) <= 0)
        return false;
    if (!begonnen_) {
        eintrag_ = Naechster();
        begonnen_ = true;
    }
    // Past the entries before this file: those the walk did not meet are no longer in the source.
    int ordnung = 1; // of the entry in hand against this file
    for (; eintrag_ != nullptr; eintrag_ = Naechster()) {
        ordnung = Wegordnung(eintrag_->Pfad, eintrag_->Art == Eintragsart::Ordner, relativ, false);
        if (ordnung >= 0)
            break;
    }
    zuletzt_.swap(frage_);
    beantwortet_ = true;
    if (eintrag_ == nullptr || ordnung != 0)
        return false;
    gefunden_ = eintrag_;
    gefundenBefund_ = befund_;
    const Bestandseintrag& e = *eintrag_;
    if (e.Ort == OrtFehlt || !sicherungen_.contains(e.Ort))
        return false;
    // A link whose look the walk did not take: any version of a link of that name.
    if (jetzt.Typ == Eintragsstand::Art::Anderes)
        return e.Art == Eintragsart::Verweis;
    // The exact state, of a file or of a link (whose bit another target's run may have cleared for a link that
    // replaced the one this target holds): a record without ctimes (the first form) holds none. Where inode
    // numbers do not last (Eintragsstand::Genau), size and times are the state, as the file system's own records
    // take it.
    const bool datei = jetzt.Typ == Eintragsstand::Art::Datei;
    if ((!datei && jetzt.Typ != Eintragsstand::Art::Verweis) ||
        e.Art != (datei ? Eintragsart::Datei : Eintragsart::Verweis) || e.CtimeNs == 0 || e.Groesse != jetzt.Groesse ||
        e.MtimeNs != jetzt.MtimeNs)
        return false;
    return !jetzt.Genau || (e.CtimeNs == jetzt.CtimeNs && e.Inode == jetzt.Inode);
}

} // namespace tresor
