#pragma once

#include "fs/system/Deskriptor.h"

#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tresor::posix {

// Makes folders that the walk announced on a thread of its own, while the walk goes on: the mirrors of a folder's
// subfolders, made while the walk is still in the subfolders before them. Each folder is made private (0700) by
// mkdirat in the held folder that the walk reached it through, never through a path, after the drive was seen to
// be the file system it was (as PosixDateisystem::MakeDir checks it). A folder is made at most once and only where
// its name is free; the walk takes each result once (Nimm): where the other thread has not begun it, the walk
// takes it back and makes the folder itself rather than wait. So a folder not made here leaves nothing behind, and
// the walk does exactly what it did without this thread. What the walk announced and then does not mirror into
// (the source folder vanished, or the run was stopped) it drops (Verwirf): a folder made for it is removed.
//
// Memory: the folders announced and not yet taken, the subfolders of the folders on the walk's way.
class Ordneranlage {
public:
    // `haken`, where given, is called on the other thread with a folder's name just before it is made; a test
    // waits there, or changes the tree.
    explicit Ordneranlage(std::function<void(const std::string& name)> haken = {});
    ~Ordneranlage();
    Ordneranlage(const Ordneranlage&) = delete;
    Ordneranlage& operator=(const Ordneranlage&) = delete;

    struct Auftrag {
        std::string Pfad; // the key the walk asks with (its path in program form)
        std::string Name; // the name to make in the folder
    };
    // The folders `auftraege`, to be made in the open folder `ordner` (a descriptor of its own, kept until the last
    // of them is done), on the drive mounted at `einhaengepunkt` with the device `geraet` (0: not checked). They
    // are made in this order, before anything announced earlier and still waiting: the walk goes depth first. A
    // path announced already is left as it is. False where nothing was announced (no thread could be started).
    bool Vormerken(std::vector<Auftrag> auftraege, Deskriptor ordner, std::string einhaengepunkt, dev_t geraet);
    // True where the folder `pfad` was made here (then it is the walk's, as if it had made it); false where it was
    // not announced, not begun (and now never will be), or could not be made: nothing was made for it.
    bool Nimm(const std::string& pfad);
    // Drops the folder `pfad`: never made where not begun; removed where it was made here and is still empty.
    void Verwirf(const std::string& pfad) noexcept;

    // For tests: folders made here, and folders taken back by the walk before they were begun.
    struct Zaehler {
        std::size_t Angelegt = 0;
        std::size_t Zurueckgenommen = 0;
    };
    Zaehler Stand() const;

private:
    enum class Zustand { Wartet, Laeuft, Fertig };
    struct Eintrag {
        std::shared_ptr<const Deskriptor> Ordner;
        std::string Name;
        std::shared_ptr<const std::string> Einhaengepunkt;
        dev_t Geraet = 0;
        Zustand Was = Zustand::Wartet;
        int Fehler = 0;
    };
    void Arbeite();
    // Waits until the entry of `pfad`, begun by the other thread, is done; `l` holds the lock throughout.
    void Warte(std::unique_lock<std::mutex>& l, const std::string& pfad);

    std::function<void(const std::string&)> haken_;
    mutable std::mutex m_;
    std::condition_variable arbeit_; // wakes the other thread
    std::condition_variable fertig_; // wakes the walk
    std::unordered_map<std::string, Eintrag> eintraege_;
    std::deque<std::string> warteschlange_; // paths in the order they are made
    bool halt_ = false;
    Zaehler zaehler_;
    std::thread faden_;
};

} // namespace tresor::posix
