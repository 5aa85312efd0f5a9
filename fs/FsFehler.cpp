#include "fs/FsFehler.h"

#include <cerrno>

namespace tresor {

FsFehler::FsFehler(std::string operation, Pfad pfad, std::error_code ursache)
    : std::runtime_error(operation + ": " + pfad + ": " + ursache.message()), operation_(std::move(operation)),
      pfad_(std::move(pfad)), ursache_(ursache) {}

std::string FsFehler::Bericht() const {
    return Bericht(pfad_);
}

std::string FsFehler::Bericht(const std::string& pfadtext) const {
    return "Der Vorgang " + operation_ + " ist fehlgeschlagen.\nPfad: " + pfadtext + "\nGrund: " + Fehlertext(ursache_);
}

std::string Fehlertext(std::error_code ursache) {
    // Only error numbers of the operating system have our own words; anything else shows its number.
    const bool errnoWert =
        ursache.category() == std::generic_category() || ursache.category() == std::system_category();
    if (errnoWert) {
        switch (ursache.value()) {
        case ENOENT:
            return "Datei oder Ordner nicht gefunden";
        case EACCES:
        case EPERM:
            return "Zugriff verweigert";
        case ENOSPC:
        case EDQUOT:
            return "Datenträger voll";
        case EROFS:
            return "Schreibgeschütztes Dateisystem";
        case EIO:
            return "Ein-/Ausgabefehler";
        // A block whose checksum no longer fits (ext4, btrfs, XFS) or a structure that makes no sense: the medium
        // holds damaged data there.
        case EBADMSG:
        case EUCLEAN:
            return "Daten auf dem Datenträger beschädigt";
        case ENAMETOOLONG:
            return "Name zu lang";
        case EEXIST:
            return "Existiert bereits";
        case ENOTDIR:
            return "Kein Ordner";
        case EISDIR:
            return "Ist ein Ordner";
        case ENOTEMPTY:
            return "Ordner nicht leer";
        case ENODEV:
        case ENXIO:
            return "Laufwerk nicht bereit";
        case ENOTSUP:
            return "Vom Dateisystem nicht unterstützt";
        case EINVAL:
            return "Ungültiger Pfad oder Wert";
        case EFBIG:
            return "Datei zu groß";
        case ELOOP:
            return "Ist eine symbolische Verknüpfung";
        // A network share: the connection to its server went away or does not answer.
        case ENOTCONN:
        case ECONNABORTED:
        case ECONNRESET:
        case ESTALE:
            return "Verbindung zum Server unterbrochen";
        case ETIMEDOUT:
            return "Zeitüberschreitung: der Server antwortet nicht";
        case EHOSTUNREACH:
        case ENETUNREACH:
        case EHOSTDOWN:
            return "Server nicht erreichbar";
        default:
            break;
        }
    }
    return "Fehler " + std::to_string(ursache.value());
}

} // namespace tresor
