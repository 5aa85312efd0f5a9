#include "fs/FsFehler.h"

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

} // namespace
} // namespace tresor
