// The program's identity where Linux has a place for it: the desktop entry.

#include "tests/ui/Fensterhilfen.h"

#include <QFile>
#include <QTextStream>

#include <gtest/gtest.h>

namespace tresor::test {
namespace {

TEST(Kennung, DesktopEntryCarriesNameIconAndTheTwoExplanatoryTextsAsComment) {
    QFile datei(QStringLiteral(TRESOR_DESKTOP_DATEI));
    ASSERT_TRUE(datei.open(QIODevice::ReadOnly | QIODevice::Text));
    // The keys of each group ("[Desktop Entry]", "[Desktop Action sicherungen]").
    QMap<QString, QMap<QString, QString>> gruppen;
    QString gruppe;
    QTextStream ein(&datei);
    while (!ein.atEnd()) {
        const QString zeile = ein.readLine();
        const auto gleich = zeile.indexOf(QLatin1Char('='));
        if (zeile.startsWith(QLatin1Char('[')))
            gruppe = zeile;
        else if (gleich > 0)
            gruppen[gruppe].insert(zeile.left(gleich), zeile.mid(gleich + 1));
    }
    const QMap<QString, QString> eintraege = gruppen.value(QStringLiteral("[Desktop Entry]"));
    Fensterumgebung umgebung;
    auto fenster = umgebung.NeuesFenster();
    EXPECT_EQ(eintraege.value(QStringLiteral("Name")), QStringLiteral("tresor-ix"));
    EXPECT_EQ(eintraege.value(QStringLiteral("Icon")), QStringLiteral("tresor-ix"));
    EXPECT_EQ(eintraege.value(QStringLiteral("Exec")), QStringLiteral("tresor-ix"));
    EXPECT_EQ(eintraege.value(QStringLiteral("Comment")),
              fenster->Label5[0]->text() + QStringLiteral("  ") + fenster->Label5[1]->text() + QStringLiteral("  "));
    // The second way in: the backups window alone.
    EXPECT_EQ(eintraege.value(QStringLiteral("Actions")), QStringLiteral("sicherungen;"));
    const QMap<QString, QString> aktion = gruppen.value(QStringLiteral("[Desktop Action sicherungen]"));
    EXPECT_EQ(aktion.value(QStringLiteral("Name")), QStringLiteral("Sicherungen anzeigen"));
    EXPECT_EQ(aktion.value(QStringLiteral("Exec")), QStringLiteral("tresor-ix --sicherungen"));
}

} // namespace
} // namespace tresor::test
