#include "tests/ui/Fensterhilfen.h"

#include "fs/posix/PosixDateisystem.h"

#include <QApplication>
#include <QCursor>
#include <QTest>

namespace tresor::test {

int Testfenster::ZeigeMeldung(const QString& text, QMessageBox::Icon symbol, const QString& titel) {
    Meldungen.push_back(
        {text, symbol, titel, MousePointer(), QApplication::overrideCursor() != nullptr, copyversion->text()});
    if (EchteMeldungen)
        return ui::Sicherungsfenster::ZeigeMeldung(text, symbol, titel);
    return vbOK;
}

void Testfenster::SicherungLaufen() {
    if (Lauf)
        Lauf();
    else
        ui::Sicherungsfenster::SicherungLaufen();
}

Fensterumgebung::Fensterumgebung() : Laufwerke(TestLaufwerke(Ordner).Laufwerke()) {}

std::filesystem::path Fensterumgebung::Wurzel(char laufwerk) const {
    for (const Laufwerk& l : Laufwerke)
        if (l.Buchstabe == laufwerk)
            return l.Einhaengepunkt;
    return {};
}

std::unique_ptr<Testfenster> Fensterumgebung::NeuesFenster() {
    return std::make_unique<Testfenster>(
        [this] {
            ++TabellenLesungen;
            return Laufwerkstabelle(Laufwerke);
        },
        Uhr,
        [this](const Laufwerkstabelle& tabelle) {
            if (!WaehrendKopie)
                return ErzeugePosixDateisystem(tabelle);
            auto huelle = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(tabelle), nullptr);
            huelle->waehrendKopie = [this](const Datei& d, std::uint64_t k, std::uint64_t g) {
                WaehrendKopie(d, k, g);
            };
            return std::unique_ptr<Dateisystem>(std::move(huelle));
        });
}

bool WarteBis(const std::function<bool()>& bedingung) {
    return QTest::qWaitFor(bedingung, 2000);
}

QStringList Zeilen(const QListWidget& liste) {
    QStringList zeilen;
    for (int i = 0; i < liste.count(); ++i)
        zeilen.append(liste.item(i)->text());
    return zeilen;
}

namespace {
void Sammle(const QTreeWidgetItem* eintrag, int tiefe, QStringList& ausgabe) {
    ausgabe.append(QStringLiteral("%1:%2").arg(tiefe).arg(eintrag->text(0)));
    for (int i = 0; i < eintrag->childCount(); ++i)
        Sammle(eintrag->child(i), tiefe + 1, ausgabe);
}
} // namespace

QStringList Eintraege(const QTreeWidget& liste) {
    QStringList ausgabe;
    for (int i = 0; i < liste.topLevelItemCount(); ++i)
        Sammle(liste.topLevelItem(i), 0, ausgabe);
    return ausgabe;
}

} // namespace tresor::test
