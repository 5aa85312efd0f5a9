#include "ui/Laufwerksliste.h"

#include "fs/FsFehler.h"

namespace tresor::ui {

namespace {

QChar Buchstabe(const QString& laufwerk) {
    return laufwerk.isEmpty() ? QChar() : laufwerk.front().toUpper();
}

} // namespace

Laufwerksliste::Laufwerksliste(QWidget* parent) : QComboBox(parent) {
    setEditable(false);
    connect(this, &QComboBox::currentIndexChanged, this, &Laufwerksliste::AuswahlGeaendert);
}

void Laufwerksliste::SetLaufwerke(const Laufwerkstabelle& tabelle) {
    const QString bisher = Drive();
    stumm_ = true;
    clear();
    int aktuell = -1;
    for (const Laufwerk& laufwerk : tabelle.Laufwerke()) {
        // A drive whose mount went away is not offered (its letter stays taken).
        if (!laufwerk.Bereit)
            continue;
        addItem(QString::fromUtf8(laufwerk.Text()));
        if (!bisher.isEmpty() && QChar::fromLatin1(laufwerk.Buchstabe) == Buchstabe(bisher))
            aktuell = count() - 1;
    }
    if (!bisher.isEmpty() && aktuell < 0) {
        // A drive that went away stays the current one until the user picks another.
        addItem(bisher);
        aktuell = count() - 1;
    }
    setCurrentIndex(aktuell < 0 ? 0 : aktuell);
    stumm_ = false;
}

QString Laufwerksliste::Drive() const {
    return currentIndex() < 0 ? QString() : currentText();
}

void Laufwerksliste::SetDrive(const QString& laufwerk) {
    int index = -1;
    for (int i = 0; i < count(); ++i) {
        if (Buchstabe(itemText(i)) == Buchstabe(laufwerk) && laufwerk.mid(1, 1) == QStringLiteral(":")) {
            index = i;
            break;
        }
    }
    if (index < 0)
        throw FsFehler("Laufwerk wählen", laufwerk.left(2).toStdString(),
                       std::make_error_code(std::errc::no_such_device));
    if (index == currentIndex())
        return;
    stumm_ = true;
    setCurrentIndex(index);
    stumm_ = false;
    Melden();
}

void Laufwerksliste::showPopup() {
    if (VorDemOeffnen)
        VorDemOeffnen();
    QComboBox::showPopup();
}

void Laufwerksliste::AuswahlGeaendert(int index) {
    if (stumm_ || index < 0)
        return;
    Rahmen([this] { Melden(); });
}

void Laufwerksliste::Melden() {
    if (Change)
        Change();
}

} // namespace tresor::ui
