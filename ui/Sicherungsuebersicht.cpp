#include "ui/Sicherungsuebersicht.h"

#include "engine/bestand/Quellzuordnung.h"
#include "fs/FsFehler.h"
#include "ui/Punktansicht.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QScreen>
#include <QSplitter>
#include <QStyle>
#include <QVBoxLayout>

#include <chrono>
#include <future>

namespace tresor::ui {

namespace {

QPushButton* Knopf(const QString& text, QWidget* eltern) {
    auto* knopf = new QPushButton(text, eltern);
    knopf->setAutoDefault(false);
    return knopf;
}

} // namespace

Sicherungsuebersicht::Sicherungsuebersicht(Laufwerkstabelle tabelle, Dateisystemfabrik fabrik, QWidget* parent)
    : QWidget(parent, Qt::Window), tabelle_(std::move(tabelle)), fabrik_(std::move(fabrik)) {
    Aufbauen();
    arbeit_ = std::make_unique<Hintergrundarbeit>(Balken, Rest, Abbrechen);
    Bereit();
}

Sicherungsuebersicht::~Sicherungsuebersicht() {
    arbeit_.reset(); // stops and waits for a task before the controls it shows its progress in go
}

void Sicherungsuebersicht::Aufbauen() {
    setWindowTitle(QStringLiteral("Sicherungen"));
    auto* spalten = new QVBoxLayout(this);

    auto* zielzeile = new QHBoxLayout;
    auto* zielText = new QLabel(QStringLiteral("&Ziel:"), this);
    Ziel = new QLineEdit(this);
    Ziel->setPlaceholderText(QStringLiteral("Ordner mit den Sicherungen"));
    zielText->setBuddy(Ziel);
    ZielWaehlen = Knopf(QStringLiteral("&Wählen …"), this);
    Aktualisieren = Knopf(QStringLiteral("A&ktualisieren"), this);
    zielzeile->addWidget(zielText);
    zielzeile->addWidget(Ziel, 1);
    zielzeile->addWidget(ZielWaehlen);
    zielzeile->addWidget(Aktualisieren);
    spalten->addLayout(zielzeile);

    auto* teiler = new QSplitter(Qt::Horizontal, this);
    auto* links = new QWidget(teiler);
    auto* linksSpalte = new QVBoxLayout(links);
    linksSpalte->setContentsMargins(0, 0, 0, 0);
    auto* punkteText = new QLabel(QStringLiteral("&Stände je Quelle, der neueste zuerst:"), links);
    Punkte = new QTreeWidget(links);
    Punkte->setHeaderLabels(
        {QStringLiteral("Stand"), QStringLiteral("Dateien"), QStringLiteral("Kopiert"), QStringLiteral("Zustand")});
    Punkte->setRootIsDecorated(true);
    Punkte->setUniformRowHeights(true);
    Punkte->header()->setStretchLastSection(true);
    punkteText->setBuddy(Punkte);
    linksSpalte->addWidget(punkteText);
    linksSpalte->addWidget(Punkte);

    auto* rechts = new QWidget(teiler);
    auto* rechtsSpalte = new QVBoxLayout(rechts);
    rechtsSpalte->setContentsMargins(0, 0, 0, 0);
    auto* ordnerzeile = new QHBoxLayout;
    NachOben = Knopf(QStringLiteral("&Nach oben"), rechts);
    NachOben->setIcon(style()->standardIcon(QStyle::SP_FileDialogToParent));
    Ordnerzeile = new QLabel(rechts);
    Ordnerzeile->setTextInteractionFlags(Qt::TextSelectableByMouse);
    Ordnerzeile->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    ordnerzeile->addWidget(NachOben);
    ordnerzeile->addWidget(Ordnerzeile, 1);
    Inhalt = new QTreeWidget(rechts);
    Inhalt->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Größe"), QStringLiteral("Geändert"),
                             QStringLiteral("Zustand"), QStringLiteral("Sicherungsordner")});
    Inhalt->setRootIsDecorated(false);
    Inhalt->setUniformRowHeights(true);
    Inhalt->setSelectionMode(QAbstractItemView::ExtendedSelection);
    Inhalt->installEventFilter(this);
    rechtsSpalte->addLayout(ordnerzeile);
    rechtsSpalte->addWidget(Inhalt);
    teiler->addWidget(links);
    teiler->addWidget(rechts);
    teiler->setSizes({430, 470});
    teiler->setChildrenCollapsible(false);
    spalten->addWidget(teiler, 4);

    auto* taten = new QHBoxLayout;
    AuswahlZurueck = Knopf(QStringLiteral("&Auswahl wiederherstellen …"), this);
    StandZurueck = Knopf(QStringLiteral("&Ganzen Stand wiederherstellen …"), this);
    Pruefen = Knopf(QStringLiteral("&Prüfen"), this);
    MitQuelle = new QCheckBox(QStringLiteral("mit der &Quelle vergleichen"), this);
    taten->addWidget(AuswahlZurueck);
    taten->addWidget(StandZurueck);
    taten->addWidget(Pruefen);
    taten->addWidget(MitQuelle);
    AusduennenKnopf = Knopf(QStringLiteral("Aus&dünnen …"), this);
    taten->addWidget(AusduennenKnopf);
    taten->addStretch(1);
    spalten->addLayout(taten);

    auto* gang = new QHBoxLayout;
    Balken = new QProgressBar(this);
    Balken->setRange(0, 1000);
    Balken->setValue(0);
    Balken->setFormat(QString());
    Rest = new QLabel(this);
    Rest->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    Abbrechen = Knopf(QStringLiteral("Abbre&chen"), this);
    gang->addWidget(Balken, 1);
    gang->addWidget(Rest, 2);
    gang->addWidget(Abbrechen);
    spalten->addLayout(gang);

    auto* ergebnisText = new QLabel(QStringLiteral("&Ergebnis:"), this);
    Ergebnis = new QListWidget(this);
    Ergebnis->setWordWrap(true);
    ergebnisText->setBuddy(Ergebnis);
    spalten->addWidget(ergebnisText);
    spalten->addWidget(Ergebnis, 1);

    auto* ende = new QHBoxLayout;
    Schliessen = Knopf(QStringLiteral("Schl&ießen"), this);
    ende->addStretch(1);
    ende->addWidget(Schliessen);
    spalten->addLayout(ende);

    setMinimumSize(640, 440);
    // As large as is comfortable, never larger than the screen (800x600, or a scale factor of 2).
    QSize groesse(880, 600);
    if (const QScreen* schirm = screen())
        groesse = groesse.boundedTo(schirm->availableGeometry().size() - QSize(40, 60));
    resize(groesse.expandedTo(minimumSize()));

    connect(Ziel, &QLineEdit::returnPressed, this, [this] {
        if (const auto pfad = Programmpfad(Ziel->text()))
            ZeigeZiel(*pfad);
        else
            Hinweis(QStringLiteral("„%1“ ist kein Ordner auf einem der Laufwerke.").arg(Ziel->text()));
    });
    connect(Aktualisieren, &QPushButton::clicked, this, [this] { Ziel->returnPressed(); });
    connect(ZielWaehlen, &QPushButton::clicked, this, [this] {
        const QString gewaehlt =
            QFileDialog::getExistingDirectory(this, QStringLiteral("Ordner mit den Sicherungen wählen"));
        if (gewaehlt.isEmpty())
            return;
        Ziel->setText(gewaehlt);
        Ziel->returnPressed();
    });
    connect(Punkte, &QTreeWidget::itemSelectionChanged, this, [this] { WaehlePunkt(); });
    connect(Inhalt, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* zeile) {
        if (zeile->data(0, OrdnerRolle).toBool())
            OeffneOrdner(zeile->data(0, EintragRolle).toByteArray().toStdString());
    });
    connect(Inhalt, &QTreeWidget::itemSelectionChanged, this, [this] { Bereit(); });
    connect(NachOben, &QPushButton::clicked, this, [this] {
        if (ordner_ != ".")
            OeffneOrdner(ordner_.rfind('/') == std::string::npos ? std::string(".")
                                                                 : ordner_.substr(0, ordner_.rfind('/')));
    });
    connect(AuswahlZurueck, &QPushButton::clicked, this, [this] { Wiederherstellen(false); });
    connect(StandZurueck, &QPushButton::clicked, this, [this] { Wiederherstellen(true); });
    connect(Pruefen, &QPushButton::clicked, this, [this] { Pruefe(); });
    connect(AusduennenKnopf, &QPushButton::clicked, this, [this] { Ausduennen(); });
    connect(Schliessen, &QPushButton::clicked, this, &QWidget::close);
    connect(
        this, &Sicherungsuebersicht::KonfliktGefunden, this,
        [this](const std::shared_ptr<const Konflikt>& k,
               const std::shared_ptr<std::promise<Konfliktantwort>>& antwort) {
            antwort->set_value(FrageKonflikt(*k));
        },
        Qt::QueuedConnection);
}

std::optional<Pfad> Sicherungsuebersicht::Programmpfad(const QString& eingabe) const {
    const std::string text = eingabe.trimmed().toStdString();
    if (text.empty())
        return std::nullopt;
    if (text.front() == '/')
        return tabelle_.AusPosix(text);
    if (text.size() >= 3 && text[1] == ':' && text[2] == '\\')
        return text;
    return std::nullopt;
}

QString Sicherungsuebersicht::Anzeigepfad(const Pfad& pfad) const {
    return QString::fromUtf8(pfad);
}

void Sicherungsuebersicht::Bereit() {
    const bool frei = !arbeit_->Laeuft();
    const bool offen = frei && baum_.has_value();
    Ziel->setEnabled(frei);
    ZielWaehlen->setEnabled(frei);
    Aktualisieren->setEnabled(frei);
    Punkte->setEnabled(frei);
    AuswahlZurueck->setEnabled(offen && !Inhalt->selectedItems().isEmpty());
    StandZurueck->setEnabled(offen);
    Pruefen->setEnabled(offen);
    AusduennenKnopf->setEnabled(offen);
    NachOben->setEnabled(offen && ordner_ != ".");
}

void Sicherungsuebersicht::Starte(const QString& was, std::function<void(Wiederherstellung&)> aufgabe,
                                  std::function<void()> danach) {
    aus_.str({});
    fehler_.str({});
    const bool gestartet = arbeit_->Starte(
        was,
        [this, aufgabe = std::move(aufgabe)] {
            Wiederherstellung w(tabelle_, fabrik_, aus_, fehler_);
            try {
                aufgabe(w);
            } catch (const FsFehler& f) {
                fehler_ << f.Bericht() << '\n';
            } catch (const std::exception& f) {
                fehler_ << f.what() << '\n';
            }
        },
        [this, danach = std::move(danach)] {
            auto zeilen = [this](const std::string& text, bool problem) {
                std::istringstream lesen(text);
                for (std::string zeile; std::getline(lesen, zeile);) {
                    auto* eintrag = new QListWidgetItem(QString::fromUtf8(zeile), Ergebnis);
                    eintrag->setIcon(style()->standardIcon(problem ? QStyle::SP_MessageBoxWarning
                                                                   : QStyle::SP_MessageBoxInformation));
                }
            };
            zeilen(aus_.str(), false);
            zeilen(fehler_.str(), true);
            Ergebnis->scrollToBottom();
            danach();
            Bereit();
            if (schliessen_)
                close();
        });
    if (gestartet)
        Bereit();
}

void Sicherungsuebersicht::ZeigeZiel(const Pfad& ziel, const std::string& ordner) {
    if (arbeit_->Laeuft())
        return;
    nachtrag_.clear();
    ziel_ = ziel;
    Ziel->setText(Anzeigepfad(ziel));
    Liste(ordner);
}

void Sicherungsuebersicht::Leere() {
    Ergebnis->clear();
    for (const QString& zeile : nachtrag_)
        new QListWidgetItem(zeile, Ergebnis);
}

void Sicherungsuebersicht::Liste(const std::string& ordner) {
    auto punkte = std::make_shared<std::vector<Listenpunkt>>();
    Leere();
    baum_.reset();
    punkt_.reset();
    Inhalt->clear();
    Ordnerzeile->clear();
    const Pfad ziel = ziel_;
    Starte(
        QStringLiteral("Sicherungen lesen"),
        [punkte, ziel](Wiederherstellung& w) { *punkte = w.Punkte(ziel, std::nullopt, Reihenfolge::NeuesteZuerst); },
        [this, punkte, ordner] {
            punkte_ = std::move(*punkte);
            FuellePunkte(*Punkte, punkte_);
            for (int spalte = 0; spalte < Punkte->columnCount(); ++spalte)
                Punkte->resizeColumnToContents(spalte);
            if (punkte_.empty())
                new QListWidgetItem(QStringLiteral("Keine Sicherungen im Ziel %1.").arg(Anzeigepfad(ziel_)), Ergebnis);
            for (QTreeWidgetItemIterator it(Punkte); *it != nullptr; ++it) {
                const QVariant i = (*it)->data(0, PunktRolle);
                if (!i.isValid() || !((*it)->flags() & Qt::ItemIsSelectable))
                    continue;
                if (ordner.empty() || punkte_[i.toULongLong()].Ordner == ordner) {
                    Punkte->setCurrentItem(*it);
                    break;
                }
            }
        });
}

const Listenpunkt* Sicherungsuebersicht::Gewaehlt() const {
    const QTreeWidgetItem* zeile = Punkte->currentItem();
    if (zeile == nullptr || !zeile->data(0, PunktRolle).isValid())
        return nullptr;
    return &punkte_[zeile->data(0, PunktRolle).toULongLong()];
}

void Sicherungsuebersicht::WaehlePunkt() {
    const Listenpunkt* p = Gewaehlt();
    if (p == nullptr || !p->Quelle || arbeit_->Laeuft())
        return;
    baum_.reset();
    punkt_ = *p;
    Inhalt->clear();
    auto baum = std::make_shared<std::optional<Punktbaum>>();
    const Pfad ziel = ziel_;
    Leere();
    Starte(
        QStringLiteral("Stand lesen"),
        [baum, ziel, p = *p](Wiederherstellung& w) { *baum = w.Baum(ziel, p.Angabe(), p.Zeit()); },
        [this, baum] {
            baum_ = std::move(*baum);
            if (baum_) {
                for (const std::string& luecke : baum_->Luecken)
                    new QListWidgetItem(style()->standardIcon(QStyle::SP_MessageBoxWarning), QString::fromUtf8(luecke),
                                        Ergebnis);
                OeffneOrdner(".");
            }
        });
}

void Sicherungsuebersicht::OeffneOrdner(const std::string& ordner) {
    if (!baum_ || !punkt_)
        return;
    ordner_ = ordner;
    FuelleOrdner(*Inhalt, *baum_, ordner_);
    const Pfad wo = ordner_ == "." ? *punkt_->Quelle : Unterpfad(*punkt_->Quelle, ordner_);
    // A source whose letter names another drive today: the place the folder had tells it from that drive's.
    const QString ort = punkt_->Verdeckt && punkt_->Verzeichnet
                            ? QString::fromUtf8(Quelltext(wo, ordner_ == "." ? *punkt_->Verzeichnet
                                                                             : *punkt_->Verzeichnet + "/" + ordner_))
                            : Anzeigepfad(wo);
    Ordnerzeile->setText(QStringLiteral("%1 – Stand %2").arg(ort, Zeitpunkttext(punkt_->Zeit())));
    for (int spalte = 0; spalte < Inhalt->columnCount(); ++spalte)
        Inhalt->resizeColumnToContents(spalte);
    if (Inhalt->topLevelItemCount() > 0)
        Inhalt->setCurrentItem(Inhalt->topLevelItem(0), 0, QItemSelectionModel::NoUpdate);
    Bereit();
}

void Sicherungsuebersicht::Wiederherstellen(bool ganz) {
    if (!baum_ || !punkt_ || arbeit_->Laeuft())
        return;
    Rueckholauftrag a;
    a.Ziel = ziel_;
    a.Quelle = punkt_->Angabe();
    a.Stand = punkt_->Zeit();
    if (!ganz) {
        for (const QTreeWidgetItem* zeile : Inhalt->selectedItems())
            a.Auswahl.push_back(zeile->data(0, EintragRolle).toByteArray().toStdString());
        if (a.Auswahl.empty()) {
            Hinweis(QStringLiteral("Bitte zuerst die Einträge wählen, die wiederhergestellt werden sollen."));
            return;
        }
    }
    switch (FrageWohin(ganz)) {
    case Wohin::Nirgends:
        return;
    case Wohin::Ordner: {
        const auto nach = WaehleOrdner();
        if (!nach)
            return;
        a.Nach = *nach;
        break;
    }
    case Wohin::Ursprung:
        a.Frage = [this](const Konflikt& k) {
            // Asked on the window's thread; the restore waits for the answer, or for a stop (the window
            // closing waits for the restore and asks nothing more: the entry is then skipped).
            auto antwort = std::make_shared<std::promise<Konfliktantwort>>();
            std::future<Konfliktantwort> kommt = antwort->get_future();
            emit KonfliktGefunden(std::make_shared<const Konflikt>(k), antwort);
            while (kommt.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
                if (arbeit_->Stopp()->load())
                    return Konfliktantwort{};
            return kommt.get();
        };
        break;
    }
    a.Stopp = arbeit_->Stopp();
    a.Fortschritt = [this](const Rueckholstand& s) { arbeit_->Melde(s); };
    nachtrag_.clear();
    Ergebnis->clear();
    Starte(
        QStringLiteral("Wiederherstellen"), [a](Wiederherstellung& w) { (void)w.Zurueckholen(a); }, [] {});
}

void Sicherungsuebersicht::Pruefe() {
    if (!baum_ || !punkt_ || arbeit_->Laeuft())
        return;
    const Pfad ziel = ziel_;
    const Quellangabe quelle = punkt_->Angabe();
    const std::string zeit = punkt_->Zeit();
    const bool mitQuelle = MitQuelle->isChecked();
    nachtrag_.clear();
    Ergebnis->clear();
    Starte(
        QStringLiteral("Prüfen"),
        [this, ziel, quelle, zeit, mitQuelle](Wiederherstellung& w) {
            w.Begleite([this](const Rueckholstand& s) { arbeit_->Melde(s); }, arbeit_->Stopp());
            (void)w.Pruefen(ziel, quelle, zeit, mitQuelle);
        },
        [] {});
}

Sicherungsuebersicht::Wohin Sicherungsuebersicht::FrageWohin(bool ganz) {
    QMessageBox frage(QMessageBox::Question, QStringLiteral("Sicherungen"),
                      ganz ? QStringLiteral("Wohin soll der ganze Stand wiederhergestellt werden?")
                           : QStringLiteral("Wohin sollen die gewählten Einträge wiederhergestellt werden?"),
                      QMessageBox::NoButton, this);
    frage.setInformativeText(
        QStringLiteral("In einen neuen oder leeren Ordner, oder an den ursprünglichen Ort: dort wird nichts "
                       "Vorhandenes ersetzt, ohne zu fragen."));
    QPushButton* ordner = frage.addButton(QStringLiteral("In einen &Ordner …"), QMessageBox::AcceptRole);
    QPushButton* ursprung = frage.addButton(QStringLiteral("An den &ursprünglichen Ort"), QMessageBox::AcceptRole);
    frage.addButton(QStringLiteral("Abbre&chen"), QMessageBox::RejectRole);
    // A source that is not there has no original place (the restore would refuse it).
    if (punkt_ && punkt_->Verzeichnet) {
        ursprung->setEnabled(false);
        frage.setInformativeText(QStringLiteral("In einen neuen oder leeren Ordner: die Quelle %1 ist nicht da.")
                                     .arg(QString::fromUtf8(punkt_->Quelltext())));
    }
    frage.setDefaultButton(ordner);
    frage.exec();
    if (frage.clickedButton() == ordner)
        return Wohin::Ordner;
    if (frage.clickedButton() == ursprung)
        return Wohin::Ursprung;
    return Wohin::Nirgends;
}

std::optional<Pfad> Sicherungsuebersicht::WaehleOrdner() {
    const QString gewaehlt =
        QFileDialog::getExistingDirectory(this, QStringLiteral("Neuen oder leeren Ordner zum Wiederherstellen wählen"));
    if (gewaehlt.isEmpty())
        return std::nullopt;
    const auto pfad = tabelle_.AusPosix(gewaehlt.toStdString());
    if (!pfad)
        Hinweis(QStringLiteral("„%1“ liegt auf keinem der Laufwerke.").arg(gewaehlt));
    return pfad;
}

Konfliktantwort Sicherungsuebersicht::FrageKonflikt(const Konflikt& k) {
    auto beschreibe = [](bool ordner, std::int64_t groesse, std::int64_t ns) {
        return ordner ? QStringLiteral("Ordner")
                      : QStringLiteral("%1, geändert %2")
                            .arg(Groessentext(static_cast<std::uint64_t>(groesse)), Zeittext(ns));
    };
    QMessageBox frage(QMessageBox::Warning, QStringLiteral("Sicherungen"),
                      QStringLiteral("Am ursprünglichen Ort gibt es schon „%1“, und es ist nicht die Fassung des "
                                     "Standes vom %2.")
                          .arg(QString::fromUtf8(k.Wo), Zeitpunkttext(punkt_ ? punkt_->Zeit() : std::string())),
                      QMessageBox::NoButton, this);
    frage.setInformativeText(
        QStringLiteral("Vorhanden:\t%1\nIm Stand:\t%2")
            .arg(beschreibe(k.Vorhanden.Typ == Eintragsstand::Art::Ordner, k.Vorhanden.Groesse, k.Vorhanden.MtimeNs),
                 beschreibe(k.Art == Eintragsart::Ordner, k.Groesse, k.MtimeNs)));
    QPushButton* ersetzen = frage.addButton(QStringLiteral("&Ersetzen"), QMessageBox::DestructiveRole);
    QPushButton* beide = frage.addButton(QStringLiteral("&Beide behalten"), QMessageBox::AcceptRole);
    QPushButton* ueberspringen = frage.addButton(QStringLiteral("Ü&berspringen"), QMessageBox::RejectRole);
    frage.setDefaultButton(ueberspringen);
    frage.setEscapeButton(ueberspringen);
    auto* fuerAlle = new QCheckBox(QStringLiteral("Für &alle weiteren Konflikte dieser Wiederherstellung"), &frage);
    frage.setCheckBox(fuerAlle);
    frage.exec();
    Konfliktantwort antwort;
    antwort.Wahl = frage.clickedButton() == ersetzen ? Konfliktwahl::Ersetzen
                   : frage.clickedButton() == beide  ? Konfliktwahl::BeideBehalten
                                                     : Konfliktwahl::Ueberspringen;
    antwort.FuerAlle = fuerAlle->isChecked();
    return antwort;
}

void Sicherungsuebersicht::Hinweis(const QString& text) {
    QMessageBox::information(this, QStringLiteral("Sicherungen"), text);
}

void Sicherungsuebersicht::closeEvent(QCloseEvent* ereignis) {
    // A task stops first (every file written whole or not at all); the window closes once it has.
    if (arbeit_->Laeuft()) {
        schliessen_ = true;
        arbeit_->Anhalten();
        ereignis->ignore();
        return;
    }
    QWidget::closeEvent(ereignis);
}

bool Sicherungsuebersicht::eventFilter(QObject* ziel, QEvent* ereignis) {
    if (ziel == Inhalt && ereignis->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(ereignis)->key() == Qt::Key_Backspace && NachOben->isEnabled()) {
        NachOben->click();
        return true;
    }
    return QWidget::eventFilter(ziel, ereignis);
}

} // namespace tresor::ui
