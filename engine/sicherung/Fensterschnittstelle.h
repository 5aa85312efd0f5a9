#pragma once

#include "fs/Pfad.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tresor {

// Message box styles: the OK button with one icon.
inline constexpr int vbCritical = 16;
inline constexpr int vbExclamation = 48;
inline constexpr int vbInformation = 64;
// The number of the OK button, the answer of every message box.
inline constexpr int vbOK = 1;

// Mouse pointers.
inline constexpr int vbDefault = 0;
inline constexpr int vbHourglass = 11;

// The application title, which a message box without a title of its own carries.
inline constexpr const char* Anwendungstitel = "Sicherung";

// What a long run tells the window about its progress.
struct Fortschritt {
    std::uint64_t Dateien = 0;      // files copied so far
    std::uint64_t Bytes = 0;        // bytes copied so far, those of the file being copied included
    Pfad Ordner;                    // the source folder being copied
    std::string Datei;              // the name of the file being copied; empty between two copies
    std::uint64_t DateiBytes = 0;   // of that file: the bytes copied so far
    std::uint64_t DateiGroesse = 0; // and its size when its copy began
};

// What the backup run needs of the window. The Qt window implements it; tests implement it with a
// recording fake; the command line prints instead of showing boxes.
class Fensterschnittstelle {
public:
    virtual ~Fensterschnittstelle() = default;

    // The full path of the folder that the directory list QuellPfad / ZielPfad has open.
    virtual Pfad QuellPfadPath() = 0;
    virtual Pfad ZielPfadPath() = 0;
    // The text of the hidden text box ZielOrdner; a read after a write yields what was written.
    virtual void SetZielOrdnerText(const std::string& text) = 0;
    virtual std::string ZielOrdnerText() = 0;
    // The window's mouse pointer: vbHourglass or vbDefault.
    virtual void SetMousePointer(int zeiger) = 0;
    // A modal message box with one OK button; returns when it is closed, with the number of the button.
    // Without a title it carries the application title. A line break in the prompt is the character 13.
    virtual int MsgBox(const std::string& prompt, int stil, const std::optional<std::string>& titel) = 0;
    // Re-reads ZielPfad's folders from disk.
    virtual void ZielPfadRefresh() = 0;
    // Called while files are copied: after each file, and during the copy of a large file after each piece
    // of it (at least every 100 ms of copying). The window may repaint. Default: nothing.
    virtual void Fortschritt(const tresor::Fortschritt& stand) { (void)stand; }
    // Asked often while a run works (at every file of the scan and of the copy, and with every report of
    // progress): true once the user asked to stop (Abbrechen, closing the window, an interrupt). The run
    // then stops at once; the copies made so far are made durable and marked as backed up, the copy under
    // way is dropped, and the run ends without a message. The window may repaint here. Default: never.
    virtual bool AbbruchVerlangt() { return false; }
    // A file whose copy failed its check, with the reason in German (one short phrase). Called once for each
    // such file, before the run's closing message. Default: nothing; the closing message says that the run
    // failed.
    virtual void PruefungFehlgeschlagen(const Pfad& datei, const std::string& grund) {
        (void)datei;
        (void)grund;
    }
    // A folder of the source on which another file system is mounted: mirrored as an empty folder, not
    // entered; what that file system holds is not in the backup. Called once for each such folder.
    // Default: nothing.
    virtual void Einhaengepunkt(const Pfad& ordner) { (void)ordner; }
};

} // namespace tresor
