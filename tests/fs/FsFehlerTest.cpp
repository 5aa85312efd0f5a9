#include "fs/FsFehler.h"
#include "fs/system/Schreibfehler.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <ios>

namespace tresor {
namespace {

TEST(FsFehlerTest, ReportNamesOperationPathAndReasonOnePerLine) {
    const FsFehler f("Copy", "C:\\x\\y", std::error_code(EACCES, std::generic_category()));
    EXPECT_EQ(f.Bericht(), "Der Vorgang Copy ist fehlgeschlagen.\nPfad: C:\\x\\y\nGrund: Zugriff verweigert");
    EXPECT_EQ(f.Operation(), "Copy");
    EXPECT_EQ(f.Path(), "C:\\x\\y");
    EXPECT_EQ(f.Ursache().value(), EACCES);
}

TEST(FsFehlerTest, CommonErrorNumbersHaveGermanTextsTheRestTheirNumber) {
    const std::pair<int, const char*> faelle[] = {
        {ENOENT, "Datei oder Ordner nicht gefunden"},
        {EACCES, "Zugriff verweigert"},
        {EPERM, "Zugriff verweigert"},
        {ENOSPC, "Datenträger voll"},
        {EDQUOT, "Datenträger voll"},
        {EROFS, "Schreibgeschütztes Dateisystem"},
        {EIO, "Ein-/Ausgabefehler"},
        {EBADMSG, "Daten auf dem Datenträger beschädigt"},
        {EUCLEAN, "Daten auf dem Datenträger beschädigt"},
        {ENAMETOOLONG, "Name zu lang"},
        {ENODEV, "Laufwerk nicht bereit"},
        {ENOTSUP, "Vom Dateisystem nicht unterstützt"},
        {ENOTCONN, "Verbindung zum Server unterbrochen"},
        {ECONNABORTED, "Verbindung zum Server unterbrochen"},
        {ETIMEDOUT, "Zeitüberschreitung: der Server antwortet nicht"},
        {EHOSTUNREACH, "Server nicht erreichbar"},
        {ETXTBSY, "Fehler 26"},
    };
    for (const auto& [nummer, text] : faelle)
        EXPECT_EQ(Fehlertext(std::error_code(nummer, std::generic_category())), text) << nummer;
}

TEST(FsFehlerTest, CodesOfOtherCategoriesAreNeverMistakenForErrorNumbers) {
    // io_errc::stream has the value 1, which as an error number would read "access denied".
    EXPECT_EQ(Fehlertext(std::make_error_code(std::io_errc::stream)), "Fehler 1");
}

// An input/output error is a full disk only where the file system has no room left; other numbers stay.
TEST(FsFehlerTest, AnInputOutputErrorIsAFullDiskOnlyWithoutRoomLeft) {
    const int ordner = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(ordner, 0);
    struct statvfs platz {};
    ASSERT_EQ(::fstatvfs(ordner, &platz), 0);
    if (platz.f_bavail == 0)
        GTEST_SKIP() << "the root file system is full";
    const std::pair<int, int> faelle[] = {{EIO, EIO}, {EACCES, EACCES}, {ENOSPC, ENOSPC}, {ENOTCONN, ENOTCONN}};
    for (const auto& [nummer, erwartet] : faelle)
        EXPECT_EQ(Schreibfehler(ordner, nummer), erwartet) << nummer;
    EXPECT_EQ(Schreibfehler(-1, EIO), EIO) << "nothing to look at: the number as it came";
    ::close(ordner);
}

} // namespace
} // namespace tresor
