#pragma once

#include "engine/bestand/Bestandsformat.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tresor {

// The entries a backup run could not back up (the record's "X" lines): each path once, with the reason given
// first for it. A run as one user through a tree of another's files meets millions of them, so they are not all
// held: up to `haltbar` at a time; then those go, sorted by path, as a run into an unnamed temporary file (in
// $TMPDIR, else /tmp), and when the record ends the runs are merged a path at a time. Held at once: `haltbar`
// entries, and one entry of each run while they are merged. Where no temporary file can be written, they stay
// held: none is ever lost.
class Auslassungen {
public:
    static constexpr std::size_t Haltbar = 4096;

    explicit Auslassungen(std::size_t haltbar = Haltbar);
    ~Auslassungen();
    Auslassungen(const Auslassungen&) = delete;
    Auslassungen& operator=(const Auslassungen&) = delete;

    void Neu(std::string pfad, std::string grund);
    // Each path once with the reason given first for it, in byte order of the paths; then nothing is held.
    // Throws FsFehler (operation "Bestandsliste") when the temporary file cannot be read back.
    void Gib(const std::function<void(const Auslassung&)>& aus);
    // The entries held in memory now.
    [[nodiscard]] std::size_t Gehalten() const { return gehalten_.size(); }

private:
    struct Meldung {
        Auslassung A;
        std::uint64_t Folge = 0; // the order they came in
    };
    // A sorted run in the temporary file: from Anfang (the next entry to read) to Ende.
    struct Lauf {
        std::uint64_t Anfang = 0;
        std::uint64_t Ende = 0;
    };
    // Sorts what is held by path (each path once, its first reason) and writes it as a run; false where it
    // cannot be written (it is then held, sorted).
    bool Lagere();
    // The next entry of the run into `a`; false at its end.
    bool Lies(Lauf& lauf, Auslassung& a) const;

    std::size_t haltbar_;
    std::vector<Meldung> gehalten_;
    std::uint64_t folge_ = 0;
    int datei_ = -1; // the temporary file, once made
    std::uint64_t laenge_ = 0;
    std::vector<Lauf> laeufe_;
};

} // namespace tresor
