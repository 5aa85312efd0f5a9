// The window as it is created: controls, order, rectangles, texts, fonts, colours, keyboard.

#include "tests/ui/Fensterhilfen.h"

#include <QApplication>
#include <QTest>

#include <gtest/gtest.h>

namespace tresor::test {
namespace {

class Aufbau : public ::testing::Test {
protected:
    Fensterumgebung umgebung;
};

// Records the children in the order in which they are added to the window "Sicherung".
class Geburtsregister : public QObject {
public:
    std::vector<QObject*> Kinder;
    bool eventFilter(QObject* ziel, QEvent* ereignis) override {
        if (ereignis->type() == QEvent::ChildAdded && ziel->objectName() == QStringLiteral("Sicherung")) {
            QObject* kind = static_cast<QChildEvent*>(ereignis)->child();
            if (kind->isWidgetType())
                Kinder.push_back(kind);
        }
        return false;
    }
};

TEST_F(Aufbau, CreatesTheSeventeenControlsInTableOrder) {
    Geburtsregister register_;
    qApp->installEventFilter(&register_);
    auto fenster = umgebung.NeuesFenster();
    qApp->removeEventFilter(&register_);

    QStringList namen;
    for (QObject* kind : register_.Kinder)
        namen.append(kind->objectName());
    EXPECT_EQ(namen,
              (QStringList{QStringLiteral("QuellFile"), QStringLiteral("ZielPfad"), QStringLiteral("QuellLaufwerk"),
                           QStringLiteral("ZielLaufwerk"), QStringLiteral("QuellPfad"), QStringLiteral("ZielOrdner"),
                           QStringLiteral("Abbrechen"), QStringLiteral("Sichern"), QStringLiteral("Label5_1"),
                           QStringLiteral("Label2_4"), QStringLiteral("Label2_3"), QStringLiteral("Label2_2"),
                           QStringLiteral("Label5_0"), QStringLiteral("copyversion"), QStringLiteral("Label2_1"),
                           QStringLiteral("Label3"), QStringLiteral("Label1")}));
    EXPECT_EQ(fenster->objectName(), QStringLiteral("Sicherung"));
    EXPECT_EQ(fenster->windowTitle(), QStringLiteral("tresor-ix"));
}

TEST_F(Aufbau, PlacesEveryControlAtItsPixelRectangleInsideTheClientArea) {
    auto fenster = umgebung.NeuesFenster();
    ASSERT_EQ(fenster->logicalDpiX(), 96) << "the pixel table below holds for 96 dpi";
    ASSERT_EQ(fenster->logicalDpiY(), 96);
    EXPECT_EQ(fenster->size(), QSize(625, 400));

    struct Soll {
        const char* Name;
        QRect Rechteck;
    };
    const Soll tabelle[] = {
        {"QuellFile", {8, 224, 233, 136}},    {"ZielPfad", {384, 96, 233, 216}},  {"QuellLaufwerk", {8, 72, 233, 21}},
        {"ZielLaufwerk", {384, 72, 233, 21}}, {"QuellPfad", {8, 96, 233, 126}},   {"ZielOrdner", {360, 312, 17, 21}},
        {"Abbrechen", {384, 344, 113, 25}},   {"Sichern", {504, 344, 113, 25}},   {"Label5_1", {248, 176, 121, 89}},
        {"Label2_4", {8, 56, 105, 17}},       {"Label2_3", {8, 32, 185, 17}},     {"Label2_2", {384, 32, 233, 17}},
        {"Label5_0", {248, 72, 121, 97}},     {"copyversion", {8, 376, 617, 17}}, {"Label2_1", {384, 56, 153, 17}},
        {"Label3", {384, 312, 233, 33}},      {"Label1", {8, 8, 615, 25}},
    };
    const QRect client = fenster->rect();
    for (const Soll& soll : tabelle) {
        auto* w = fenster->findChild<QWidget*>(QString::fromLatin1(soll.Name));
        ASSERT_NE(w, nullptr) << soll.Name;
        EXPECT_EQ(w->geometry(), soll.Rechteck) << soll.Name;
        EXPECT_TRUE(client.contains(w->geometry())) << soll.Name;
    }
    // The notice line reaches the right edge of the client area; below it 7 pixels stay free.
    EXPECT_EQ(fenster->copyversion->geometry().right(), client.right());
    EXPECT_EQ(client.bottom() - fenster->copyversion->geometry().bottom(), 7);
}

TEST_F(Aufbau, ListsAndButtonsLieAboveTheLabelsThatOverlapThem) {
    auto fenster = umgebung.NeuesFenster();
    const auto oben = [&](QPoint punkt) {
        QWidget* w = fenster->childAt(punkt);
        while (w != nullptr && w->parentWidget() != fenster.get())
            w = w->parentWidget();
        return w;
    };
    // Pixel row 72 belongs to the drive captions and to the drive lists; row 344 to Label3 and the buttons.
    EXPECT_EQ(oben({20, 72}), fenster->QuellLaufwerk);
    EXPECT_EQ(oben({400, 72}), fenster->ZielLaufwerk);
    EXPECT_EQ(oben({400, 344}), fenster->Abbrechen);
    EXPECT_EQ(oben({520, 344}), fenster->Sichern);
}

TEST_F(Aufbau, HasTheKindsTextsAndStateBeforeLoading) {
    auto fenster = umgebung.NeuesFenster();
    EXPECT_EQ(fenster->Abbrechen->text(), QStringLiteral("&Abbrechen"));
    EXPECT_EQ(fenster->Sichern->text(), QStringLiteral("&Sichern"));
    EXPECT_EQ(fenster->Label2[1]->text(), QStringLiteral("Sicherungslaufwerk"));
    EXPECT_EQ(fenster->Label2[2]->text(), QStringLiteral("Sicherungsziel"));
    EXPECT_EQ(fenster->Label2[3]->text(), QStringLiteral("Sicherungsquelle"));
    EXPECT_EQ(fenster->Label2[4]->text(), QStringLiteral("Quelllaufwerk"));
    EXPECT_EQ(fenster->Label2[0], nullptr);
    EXPECT_EQ(fenster->Label1->text(), QStringLiteral("Differenzdatensicherung in Sicherungsordner"));
    EXPECT_EQ(fenster->Label5[0]->text().size(), 155);
    EXPECT_TRUE(fenster->Label5[0]->text().contains(QStringLiteral("geänderten")));
    EXPECT_EQ(fenster->Label5[1]->text().size(), 121);
    EXPECT_EQ(fenster->Label3->text().size(), 77);
    EXPECT_TRUE(fenster->Label3->text().endsWith(QStringLiteral("Schaltfläche \"Sichern\"")));
    for (QLabel* label : fenster->findChildren<QLabel*>()) {
        EXPECT_TRUE(label->wordWrap()) << label->objectName().toStdString();
        EXPECT_TRUE(label->autoFillBackground()) << label->objectName().toStdString();
        EXPECT_EQ(label->focusPolicy(), Qt::NoFocus) << label->objectName().toStdString();
    }
    EXPECT_TRUE(fenster->copyversion->alignment() & Qt::AlignHCenter);

    // Before Form_Load: the notice without version is hidden, the hidden box holds "Ordner".
    EXPECT_TRUE(fenster->copyversion->isHidden());
    EXPECT_FALSE(fenster->copyversion->text().contains(QStringLiteral("Version")));
    EXPECT_TRUE(fenster->ZielOrdner->isHidden());
    EXPECT_EQ(fenster->ZielOrdner->text(), QStringLiteral("Ordner"));
    // No default button anywhere.
    for (QPushButton* knopf :
         {static_cast<QPushButton*>(fenster->Abbrechen), static_cast<QPushButton*>(fenster->Sichern)}) {
        EXPECT_FALSE(knopf->isDefault());
        EXPECT_FALSE(knopf->autoDefault());
    }
    // One icon in three sizes.
    const QList<QSize> groessen = fenster->windowIcon().availableSizes();
    EXPECT_TRUE(groessen.contains(QSize(16, 16)));
    EXPECT_TRUE(groessen.contains(QSize(32, 32)));
    EXPECT_TRUE(groessen.contains(QSize(48, 48)));
}

TEST_F(Aufbau, UsesFontsF1AndF2AndBlueTextOnlyWhereSet) {
    auto fenster = umgebung.NeuesFenster();
    const QFont f1 = fenster->Label1->font();
    EXPECT_EQ(f1.families().value(0), QStringLiteral("MS Sans Serif"));
    EXPECT_EQ(f1.styleHint(), QFont::SansSerif);
    EXPECT_DOUBLE_EQ(f1.pointSizeF(), 12.0);
    EXPECT_EQ(f1.weight(), QFont::Bold);
    EXPECT_FALSE(f1.italic() || f1.underline() || f1.strikeOut());
    for (QLabel* label : {fenster->Label2[2], fenster->Label2[3]}) {
        const QFont f2 = label->font();
        EXPECT_EQ(f2.families().value(0), QStringLiteral("MS Sans Serif"));
        EXPECT_DOUBLE_EQ(f2.pointSizeF(), 9.75);
        EXPECT_EQ(f2.weight(), QFont::Normal);
        EXPECT_FALSE(f2.italic() || f2.underline() || f2.strikeOut());
    }
    const QColor blau(0, 0, 255);
    for (QLabel* label : fenster->findChildren<QLabel*>()) {
        const bool sollBlau = label == fenster->Label1 || label == fenster->Label2[2] || label == fenster->Label2[3];
        EXPECT_EQ(label->palette().color(QPalette::WindowText) == blau, sollBlau) << label->objectName().toStdString();
    }
}

class Tastatur : public Aufbau {
protected:
    void SetUp() override {
        fenster = umgebung.NeuesFenster();
        fenster->Lauf = [this] { ++laeufe; };
        fenster->Laden();
        fenster->show();
        fenster->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(fenster.get()));
    }
    std::unique_ptr<Testfenster> fenster;
    int laeufe = 0;
};

TEST_F(Tastatur, TabMovesThroughTheSevenControlsBothWaysAndSkipsTheHiddenBox) {
    ASSERT_TRUE(WarteBis([&] { return QApplication::focusWidget() == fenster->QuellLaufwerk; }));
    const std::vector<QWidget*> ring{fenster->QuellLaufwerk, fenster->QuellPfad, fenster->QuellFile,
                                     fenster->ZielLaufwerk,  fenster->ZielPfad,  fenster->Abbrechen,
                                     fenster->Sichern};
    for (std::size_t i = 1; i <= ring.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), ring[i % ring.size()]) << "Tab step " << i;
    }
    for (std::size_t i = 1; i <= ring.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
        EXPECT_EQ(QApplication::focusWidget(), ring[(ring.size() * 2 - i) % ring.size()]) << "Shift+Tab step " << i;
    }
}

TEST_F(Tastatur, EnterClicksOnlyTheFocusedButtonAndEscapeClicksNone) {
    QTest::keyClick(fenster->QuellPfad, Qt::Key_Escape);
    QTest::keyClick(fenster->QuellFile, Qt::Key_Return);
    QTest::keyClick(fenster->QuellLaufwerk, Qt::Key_Return);
    QTest::qWait(50);
    EXPECT_EQ(laeufe, 0);
    EXPECT_TRUE(fenster->Enden.empty());

    fenster->Sichern->setFocus();
    QTest::keyClick(fenster->Sichern, Qt::Key_Escape);
    QTest::qWait(50);
    EXPECT_EQ(laeufe, 0);
    QTest::keyClick(fenster->Sichern, Qt::Key_Return);
    EXPECT_TRUE(WarteBis([&] { return laeufe == 1; }));
    EXPECT_TRUE(fenster->Enden.empty());
}

TEST_F(Tastatur, AltSStartsTheRunAndAltAEnds) {
    QTest::keyClick(fenster.get(), Qt::Key_S, Qt::AltModifier);
    EXPECT_TRUE(WarteBis([&] { return laeufe == 1; }));
    EXPECT_TRUE(fenster->Enden.empty());
    QTest::keyClick(fenster.get(), Qt::Key_A, Qt::AltModifier);
    EXPECT_TRUE(WarteBis([&] { return fenster->Enden == std::vector<int>{0}; }));
    EXPECT_TRUE(fenster->Meldungen.empty());
}

} // namespace
} // namespace tresor::test
