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
    QMap<QString, QString> eintraege;
    QTextStream ein(&datei);
    while (!ein.atEnd()) {
        const QString zeile = ein.readLine();
        const auto gleich = zeile.indexOf(QLatin1Char('='));
        if (gleich > 0)
            eintraege.insert(zeile.left(gleich), zeile.mid(gleich + 1));
    }
    Fensterumgebung umgebung;
    auto fenster = umgebung.NeuesFenster();
    EXPECT_EQ(eintraege.value(QStringLiteral("Name")), QStringLiteral("tresor-ix"));
    EXPECT_EQ(eintraege.value(QStringLiteral("Icon")), QStringLiteral("tresor-ix"));
    EXPECT_EQ(eintraege.value(QStringLiteral("Exec")), QStringLiteral("tresor-ix"));
    EXPECT_EQ(eintraege.value(QStringLiteral("Comment")),
              fenster->Label5[0]->text() + QStringLiteral("  ") + fenster->Label5[1]->text() + QStringLiteral("  "));
}

} // namespace
} // namespace tresor::test
