#include "fs/ablage/Archivvermerk.h"

#include "fs/system/Bytes.h"
#include "fs/system/Zeitraster.h"

#include <charconv>
#include <cstdio>

namespace tresor::posix {

std::uint64_t Namenskennung(std::string_view imDateisystem) {
    return Fnv1a(FnvAnfang, imDateisystem);
}

std::string ArchivvermerkText(const Archivvermerk& vermerk) {
    const Quellstand& s = vermerk.Stand;
    char name[24];
    (void)std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(vermerk.Name));
    return "2 " + std::to_string(s.MtimeNs) + " " + std::to_string(s.Groesse) + " " + std::to_string(s.Inode) + " " +
           std::to_string(s.CtimeNs) + " " + std::to_string(vermerk.SchreibzeitNs) + " " + name;
}

std::optional<Archivvermerk> LiesArchivvermerk(std::string_view text) {
    if (!text.starts_with("2 "))
        return std::nullopt;
    Archivvermerk vermerk;
    Quellstand& stand = vermerk.Stand;
    const char* p = text.data() + 2;
    const char* ende = text.data() + text.size();
    // A number followed by one blank, or by the end for the last one.
    auto zahl = [&](auto& wert, int basis, bool letzte) {
        const auto [q, fehler] = std::from_chars(p, ende, wert, basis);
        if (fehler != std::errc() || q == p)
            return false;
        p = q;
        if (letzte)
            return p == ende;
        if (p == ende || *p != ' ')
            return false;
        ++p;
        return true;
    };
    if (!zahl(stand.MtimeNs, 10, false) || !zahl(stand.Groesse, 10, false) || !zahl(stand.Inode, 10, false) ||
        !zahl(stand.CtimeNs, 10, false) || !zahl(vermerk.SchreibzeitNs, 10, false))
        return std::nullopt;
    // The name key: exactly 16 hex digits.
    if (ende - p != 16 || !zahl(vermerk.Name, 16, true))
        return std::nullopt;
    stand.Gueltig = true;
    return vermerk;
}

bool PasstBisAufCtime(const Archivvermerk& vermerk, const struct stat& st, std::uint64_t name) {
    const Quellstand& s = vermerk.Stand;
    return s.MtimeNs == MtimeNs(st) && s.Groesse == static_cast<std::int64_t>(st.st_size) &&
           s.Inode == static_cast<std::uint64_t>(st.st_ino) && vermerk.Name == name &&
           StempelEindeutig(s.CtimeNs, vermerk.SchreibzeitNs);
}

bool Passt(const Archivvermerk& vermerk, const struct stat& st, std::uint64_t name) {
    return vermerk.Stand.CtimeNs == CtimeNs(st) && PasstBisAufCtime(vermerk, st, name);
}

bool Gleich(const Quellstand& a, const Quellstand& b) {
    return a.MtimeNs == b.MtimeNs && a.Groesse == b.Groesse && a.Inode == b.Inode && a.CtimeNs == b.CtimeNs;
}

std::int64_t MtimeNs(const struct stat& st) {
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

std::int64_t CtimeNs(const struct stat& st) {
    return static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
}

Quellstand StandAus(const struct stat& st) {
    Quellstand s;
    s.MtimeNs = MtimeNs(st);
    s.Groesse = static_cast<std::int64_t>(st.st_size);
    s.Inode = static_cast<std::uint64_t>(st.st_ino);
    s.Gueltig = true;
    s.CtimeNs = CtimeNs(st);
    return s;
}

} // namespace tresor::posix
