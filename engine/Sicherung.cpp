#include "engine/Sicherung.h"

#include <cstdio>

namespace tresor {

// Stand-in until the run is written: every procedure does nothing yet.

struct Sicherung::OffeneKopie {};

std::string Sicherungsordnername(const Datum& datum, const Zeit& zeit) {
    char text[64];
    std::snprintf(text, sizeof text, "Sicherung-%04d-%02d-%02d--%02d-%02d-%02d", datum.Jahr, datum.Monat, datum.Tag,
                  zeit.Stunde, zeit.Minute, zeit.Sekunde);
    return text;
}

Sicherung::Sicherung(Fensterschnittstelle& fenster, Uhr& uhr, Dateisystemfabrik fabrik)
    : fenster_(fenster), uhr_(uhr), fabrik_(std::move(fabrik)) {}

Sicherung::~Sicherung() = default;

void Sicherung::Sichern_Click() {}
void Sicherung::AttrTest(const Pfad&) {}
void Sicherung::DateiAttrTest(const Pfad&) {}
void Sicherung::ErstellePfad(const Pfad&, Anlage) {}
void Sicherung::KopiereDateien(const Pfad&, const Pfad&) {}
void Sicherung::KopiereDateienRoot(const Pfad&, const Pfad&) {}
Dateisystem& Sicherung::Fso() { return *fso; }

void MeldePlattformfehler(Fensterschnittstelle& fenster, const FsFehler& fehler) {
    fenster.MsgBox(fehler.Bericht(), vbCritical, std::nullopt);
}

} // namespace tresor
