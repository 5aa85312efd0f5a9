#pragma once

#include "engine/wiederherstellung/Rueckholauftrag.h"
#include "engine/wiederherstellung/Wiederherstellung.h"

#include <QDateTime>
#include <QString>
#include <QTreeWidget>

#include <vector>

namespace tresor::ui {

// What the backups window shows of a target: its points per source, and a point's tree folder by folder.

// The roles of the items' data.
inline constexpr int PunktRolle = Qt::UserRole;       // a point's row: its index in the listing
inline constexpr int EintragRolle = Qt::UserRole + 1; // an entry's row: its relative path (UTF-8 bytes)
inline constexpr int OrdnerRolle = Qt::UserRole + 2;  // an entry's row: true for a folder that can be opened

// "14.03.2026, 09:00:01 Uhr" from the time part of a backup folder's name.
QString Zeitpunkttext(const std::string& zeit);
// "14.03.2026, 09:00:01 Uhr" from nanoseconds since the epoch, in local time.
QString Zeittext(std::int64_t ns);

// Fills the list of points: one item per source (in the order of first appearance), below it its points
// in the listing's order (newest first), with the columns Stand, Dateien, Bytes, Zustand. A source that no drive
// reaches today is a group of its own for each place it had ("E:\Fotos (früher /data/Fotos)" where its letter
// names another drive now). Points of no known source come last under "Quelle unbekannt".
void FuellePunkte(QTreeWidget& liste, const std::vector<Listenpunkt>& punkte);

// Fills the folder view with the entries directly in `ordner` of the point: folders first, then files and
// links, each in the record's order; columns Name, Größe, Geändert, Zustand, Sicherungsordner. An entry not
// in the point says why in its Zustand and is shown in italics.
void FuelleOrdner(QTreeWidget& liste, const Punktbaum& baum, const std::string& ordner);

// The entry's state as the folder view shows it: "gesichert", "fehlt: …", "nicht gesichert: …",
// "eingehängt, nicht gesichert".
QString Zustandstext(const Baumeintrag& e);

} // namespace tresor::ui
