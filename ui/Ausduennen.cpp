// The window Sicherungen: thinning the backups of the chosen point's source (see Sicherungsuebersicht.h).
// The engine plans and carries it out (engine/ausduennung); the window shows the plan, asks once, and runs it
// on its worker with the steps as progress.
#include "engine/ausduennung/Ausduennung.h"
#include "ui/Punktansicht.h"
#include "ui/Sicherungsuebersicht.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QSpinBox>

#include <memory>
#include <set>

namespace tresor::ui {

namespace {

QString Stand(const std::string& ordner) {
    return Zeitpunkttext(ordner.size() > 10 ? ordner.substr(10) : ordner);
}

} // namespace

void Sicherungsuebersicht::Ausduennen() {
    if (!punkt_ || !punkt_->Quelle || arbeit_->Laeuft())
        return;
    // A source that no drive reaches today is not thinned (a plan is checked against the source when carried
    // out); the folder its letter names today is another source.
    if (punkt_->Verzeichnet) {
        nachtrag_.clear();
        Ergebnis->clear();
        new QListWidgetItem(style()->standardIcon(QStyle::SP_MessageBoxWarning),
                            QStringLiteral("Die Quelle %1 liegt auf keinem Laufwerk; ihre Sicherungen werden nicht "
                                           "ausgedünnt.")
                                .arg(QString::fromUtf8(punkt_->Quelltext())),
                            Ergebnis);
        return;
    }
    const auto regel = FrageRegel();
    if (!regel)
        return;
    const Pfad ziel = ziel_;
    const Pfad quelle = *punkt_->Quelle;
    auto geplant = std::make_shared<std::variant<Ausduennungsplan, std::string>>(std::string());
    nachtrag_.clear();
    Ergebnis->clear();
    Starte(
        QStringLiteral("Ausdünnung planen"),
        [this, geplant, ziel, quelle, regel = *regel](Wiederherstellung&) {
            *geplant = tresor::Ausduennung(tabelle_).Plane(ziel, quelle, regel);
            if (const auto* grund = std::get_if<std::string>(geplant.get()))
                fehler_ << *grund << '\n';
        },
        [this, geplant] {
            const auto* plan = std::get_if<Ausduennungsplan>(geplant.get());
            if (plan == nullptr)
                return;
            for (const std::string& g : plan->Gehen)
                new QListWidgetItem(QStringLiteral("Entfernen: Stand %1").arg(Stand(g)), Ergebnis);
            for (const std::string& b : plan->Bleiben)
                new QListWidgetItem(QStringLiteral("Behalten: Stand %1").arg(Stand(b)), Ergebnis);
            for (const tresor::Rest& r : plan->Reste)
                new QListWidgetItem(style()->standardIcon(QStyle::SP_MessageBoxWarning),
                                    QStringLiteral("Bleibt: %1 %2: %3")
                                        .arg(Stand(r.Ordner), QString::fromUtf8(r.Pfad), QString::fromUtf8(r.Grund)),
                                    Ergebnis);
            if (plan->Gehen.empty()) {
                new QListWidgetItem(QStringLiteral("Die Regel behält jeden Stand; nichts wird entfernt."), Ergebnis);
                return;
            }
            if (!BestaetigeAusduennung(*plan))
                return;
            auto ausgefuehrt = std::make_shared<Ausduennungsergebnis>();
            Starte(
                QStringLiteral("Ausdünnen"),
                [this, plan = *plan, ausgefuehrt](Wiederherstellung&) {
                    *ausgefuehrt = tresor::Ausduennung(tabelle_).Fuehreaus(
                        plan,
                        [this](std::size_t erledigt, std::size_t gesamt) {
                            Rueckholstand s;
                            s.Dateien = erledigt;
                            s.DateienGesamt = gesamt;
                            arbeit_->Melde(s);
                        },
                        arbeit_->Stopp());
                    if (ausgefuehrt->Angehalten)
                        fehler_ << "Die Ausdünnung wurde angehalten; die nächste Ausdünnung oder die nächste "
                                   "Sicherung beendet sie.\n";
                    for (const tresor::Rest& r : ausgefuehrt->Reste)
                        fehler_ << "Nicht entfernt: " << r.Ordner << ' ' << r.Pfad << ": " << r.Grund << '\n';
                    if (!ausgefuehrt->Angehalten)
                        aus_ << "Ausgedünnt: " << plan.Gehen.size() << " Stände entfernt, " << plan.Verschiebungen
                             << " Kopien verschoben, " << Groessentext(ausgefuehrt->FreieBytes).toStdString()
                             << " freigegeben.\n";
                },
                [this] {
                    // The list is read again; what the thinning said stays in the result list.
                    nachtrag_.clear();
                    for (int i = 0; i < Ergebnis->count(); ++i)
                        nachtrag_.push_back(Ergebnis->item(i)->text());
                    Liste({});
                });
        });
}

std::optional<Behalteregel> Sicherungsuebersicht::FrageRegel() {
    QDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("Ausdünnen"));
    auto* form = new QFormLayout(&dialog);
    auto feld = [&](const QString& text, int wert) {
        auto* zahl = new QSpinBox(&dialog);
        zahl->setRange(0, 9999);
        zahl->setValue(wert);
        zahl->setSpecialValueText(QStringLiteral("–"));
        form->addRow(text, zahl);
        return zahl;
    };
    auto* erklaerung = new QLabel(QStringLiteral("Behalten wird jeder Stand, den eine der Regeln behält; der "
                                                 "neueste bleibt immer. Was ein bleibender Stand noch braucht, "
                                                 "wird vorher in ihn verschoben."),
                                  &dialog);
    erklaerung->setWordWrap(true);
    form->addRow(erklaerung);
    QSpinBox* letzte = feld(QStringLiteral("Die &letzten Stände:"), 10);
    QSpinBox* tage = feld(QStringLiteral("Je &Tag den neuesten, für Tage:"), 14);
    QSpinBox* wochen = feld(QStringLiteral("Je &Woche den neuesten, für Wochen:"), 8);
    QSpinBox* monate = feld(QStringLiteral("Je &Monat den neuesten, für Monate:"), 12);
    QSpinBox* jahre = feld(QStringLiteral("Je &Jahr den neuesten, für Jahre:"), 0);
    auto* knoepfe = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    knoepfe->button(QDialogButtonBox::Ok)->setText(QStringLiteral("&Vorschau …"));
    knoepfe->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Abbre&chen"));
    form->addRow(knoepfe);
    connect(knoepfe, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(knoepfe, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return Behalteregel{letzte->value(), tage->value(), wochen->value(), monate->value(), jahre->value()};
}

bool Sicherungsuebersicht::BestaetigeAusduennung(const Ausduennungsplan& plan) {
    QMessageBox frage(QMessageBox::Question, QStringLiteral("Ausdünnen"),
                      QStringLiteral("%1 von %2 Ständen der Quelle %3 entfernen?")
                          .arg(plan.Gehen.size())
                          .arg(plan.Gehen.size() + plan.Bleiben.size())
                          .arg(QString::fromUtf8(plan.Quelle)),
                      QMessageBox::NoButton, this);
    frage.setInformativeText(QStringLiteral("Frei werden %1; %2 Kopien werden vorher in bleibende Stände verschoben. "
                                            "Die Liste zeigt, welche Stände gehen und welche bleiben.")
                                 .arg(Groessentext(plan.FreieBytes))
                                 .arg(plan.Verschiebungen));
    QPushButton* ja = frage.addButton(QStringLiteral("&Ausdünnen"), QMessageBox::DestructiveRole);
    QPushButton* nein = frage.addButton(QStringLiteral("Abbre&chen"), QMessageBox::RejectRole);
    frage.setDefaultButton(nein);
    frage.exec();
    return frage.clickedButton() == ja;
}

} // namespace tresor::ui
