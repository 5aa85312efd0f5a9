#include "ui/Sicherungsfenster.h"

#include "engine/bestand/Anzeigetext.h"
#include "fs/FsFehler.h"
#include "ui/Masse.h"
#include "ui/Programmkennung.h"
#include "ui/Zielmenue.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFontMetrics>
#include <QLocale>
#include <QScreen>

namespace tresor::ui {

namespace {

// The window's client area and the controls' rectangles, in twips.
constexpr double ClientBreite = 9375;
constexpr double ClientHoehe = 6000;

constexpr Rechteck RQuellFile{120, 3360, 3495, 2040};
constexpr Rechteck RZielPfad{5760, 1440, 3495, 3240};
constexpr Rechteck RQuellLaufwerk{120, 1080, 3495, 315};
constexpr Rechteck RZielLaufwerk{5760, 1080, 3500, 315};
constexpr Rechteck RQuellPfad{120, 1440, 3495, 1890};
constexpr Rechteck RZielOrdner{5400, 4680, 255, 315};
constexpr Rechteck RAbbrechen{5760, 5160, 1695, 375};
constexpr Rechteck RSichern{7560, 5160, 1695, 375};
constexpr Rechteck RLabel5_1{3720, 2640, 1815, 1335};
constexpr Rechteck RLabel2_4{120, 840, 1575, 255};
constexpr Rechteck RLabel2_3{120, 480, 2775, 255};
constexpr Rechteck RLabel2_2{5760, 480, 3495, 255};
constexpr Rechteck RLabel5_0{3720, 1080, 1815, 1455};
constexpr Rechteck Rcopyversion{120, 5640, 9255, 255};
constexpr Rechteck RLabel2_1{5760, 840, 2295, 255};
constexpr Rechteck RLabel3{5760, 4680, 3495, 495};
constexpr Rechteck RLabel1{120, 120, 9225, 375};

// The label texts.
const char* const TextLabel3 = "Datensicherung im angegebenen Ordner durch klicken der Schaltfläche \"Sichern\"";
const char* const TextLabel1 = "Differenzdatensicherung in Sicherungsordner";

// "MS Sans Serif" where it is installed, else a sans-serif font of similar width (Liberation Sans), else
// whatever sans-serif font the system has.
QFont Schrift(double punkte, QFont::Weight gewicht) {
    QFont schrift;
    schrift.setFamilies(
        {QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    schrift.setStyleHint(QFont::SansSerif);
    schrift.setPointSizeF(punkte);
    schrift.setWeight(gewicht);
    schrift.setItalic(false);
    schrift.setUnderline(false);
    schrift.setStrikeOut(false);
    return schrift;
}

QString Text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

bool IstEingabe(QEvent::Type typ) {
    switch (typ) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::TabletMove:
    case QEvent::InputMethod:
        return true;
    default:
        return false;
    }
}

} // namespace

Pfad Wurzelpfad(const QString& laufwerk) {
    return laufwerk.left(2).toStdString() + "\\";
}

QString Fortschrittstext(const tresor::Fortschritt& stand, const QFontMetrics& metrik, int breite) {
    const QLocale deutsch(QLocale::German, QLocale::Germany);
    const QString zahlen = QStringLiteral("Gesichert: %1 %2, %3 – ")
                               .arg(deutsch.toString(static_cast<qulonglong>(stand.Dateien)),
                                    stand.Dateien == 1 ? QStringLiteral("Datei") : QStringLiteral("Dateien"),
                                    stand.Bytes < 1000 ? QStringLiteral("%1 Byte").arg(stand.Bytes)
                                                       : deutsch.formattedDataSize(static_cast<qint64>(stand.Bytes), 1,
                                                                                   QLocale::DataSizeSIFormat));
    const int rest = breite - metrik.horizontalAdvance(zahlen);
    return zahlen + metrik.elidedText(QString::fromUtf8(stand.Ordner), Qt::ElideMiddle, rest > 0 ? rest : 0);
}

// Marks the span of a backup run; at its end restores what the progress display changed.
class Sicherungsfenster::Laufklammer {
public:
    explicit Laufklammer(Sicherungsfenster& fenster) : fenster_(fenster) { fenster_.laufend_ = true; }
    ~Laufklammer() {
        fenster_.LaufanzeigeBeenden();
        fenster_.laufend_ = false;
    }
    Laufklammer(const Laufklammer&) = delete;
    Laufklammer& operator=(const Laufklammer&) = delete;

private:
    Sicherungsfenster& fenster_;
};

Sicherungsfenster::Sicherungsfenster(Laufwerksquelle laufwerke, Uhr& uhr, Dateisystemerzeuger erzeuger, QWidget* parent)
    : QWidget(parent), laufwerke_(std::move(laufwerke)), tabelle_(laufwerke_()), erzeuger_(std::move(erzeuger)),
      uhr_(uhr) {
    sicherung_ = std::make_unique<tresor::Sicherung>(*this, uhr_, [this] { return NeuesDateisystem(); });
    Aufbauen();
    Verbinden();
}

Sicherungsfenster::~Sicherungsfenster() {
    if (eingabeGesperrt_)
        qApp->removeEventFilter(this);
    if (wartezeigerGesetzt_)
        QApplication::restoreOverrideCursor();
}

std::unique_ptr<Dateisystem> Sicherungsfenster::NeuesDateisystem() const {
    return erzeuger_(tabelle_);
}

double Sicherungsfenster::DpiX() const {
    return logicalDpiX();
}
double Sicherungsfenster::DpiY() const {
    return logicalDpiY();
}

void Sicherungsfenster::Aufbauen() {
    setObjectName(QStringLiteral("Sicherung"));
    setWindowTitle(Text(kennung::Produktname));
    QIcon symbol;
    for (int groesse : {16, 32, 48})
        symbol.addFile(QStringLiteral(":/tresor-ix/tresor-ix-%1.png").arg(groesse), QSize(groesse, groesse));
    setWindowIcon(symbol);

    // The dialog font for every control that sets none: 8 points, the size the texts are laid out for.
    setFont(Schrift(8, QFont::Normal));

    const double dx = DpiX();
    const double dy = DpiY();
    setFixedSize(Pixel(ClientBreite, dx), Pixel(ClientHoehe, dy));
    const auto platziere = [&](QWidget* w, const char* name, const Rechteck& r) {
        w->setObjectName(QString::fromLatin1(name));
        w->setGeometry(PixelRechteck(r, dx, dy));
    };
    const auto beschriftung = [&](const QString& text, const char* name, const Rechteck& r) {
        auto* label = new QLabel(text, this);
        platziere(label, name, r);
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setAutoFillBackground(true);
        label->setFocusPolicy(Qt::NoFocus);
        return label;
    };
    const auto blau = [](QLabel* label) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, QColor(0, 0, 255));
        label->setPalette(palette);
    };

    // The controls in the order of creation.
    QuellFile = new Dateiliste(this, [this] { return NeuesDateisystem(); });
    platziere(QuellFile, "QuellFile", RQuellFile);
    ZielPfad = new Verzeichnisliste(this, [this] { return NeuesDateisystem(); });
    platziere(ZielPfad, "ZielPfad", RZielPfad);
    QuellLaufwerk = new Laufwerksliste(this);
    platziere(QuellLaufwerk, "QuellLaufwerk", RQuellLaufwerk);
    ZielLaufwerk = new Laufwerksliste(this);
    platziere(ZielLaufwerk, "ZielLaufwerk", RZielLaufwerk);
    QuellPfad = new Verzeichnisliste(this, [this] { return NeuesDateisystem(); });
    platziere(QuellPfad, "QuellPfad", RQuellPfad);
    ZielOrdner = new QLineEdit(QStringLiteral("Ordner"), this);
    platziere(ZielOrdner, "ZielOrdner", RZielOrdner);
    ZielOrdner->hide();
    Abbrechen = new Befehlsschaltflaeche(QStringLiteral("&Abbrechen"), this);
    platziere(Abbrechen, "Abbrechen", RAbbrechen);
    Sichern = new Befehlsschaltflaeche(QStringLiteral("&Sichern"), this);
    platziere(Sichern, "Sichern", RSichern);
    Label5[1] = beschriftung(Text(kennung::Erklaerung2), "Label5_1", RLabel5_1);
    Label2[4] = beschriftung(QStringLiteral("Quelllaufwerk"), "Label2_4", RLabel2_4);
    Label2[3] = beschriftung(QStringLiteral("Sicherungsquelle"), "Label2_3", RLabel2_3);
    Label2[3]->setFont(Schrift(9.75, QFont::Normal));
    blau(Label2[3]);
    Label2[2] = beschriftung(QStringLiteral("Sicherungsziel"), "Label2_2", RLabel2_2);
    Label2[2]->setFont(Schrift(9.75, QFont::Normal));
    blau(Label2[2]);
    Label5[0] = beschriftung(Text(kennung::Erklaerung1), "Label5_0", RLabel5_0);
    copyversion = beschriftung(Text(kennung::Vermerk), "copyversion", Rcopyversion);
    copyversion->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    copyversion->hide();
    Label2[1] = beschriftung(QStringLiteral("Sicherungslaufwerk"), "Label2_1", RLabel2_1);
    Label3 = beschriftung(Text(TextLabel3), "Label3", RLabel3);
    Label1 = beschriftung(Text(TextLabel1), "Label1", RLabel1);
    Label1->setFont(Schrift(12, QFont::Bold));
    blau(Label1);

    // Lists and buttons lie above the labels that overlap them by a pixel.
    for (QWidget* w : std::initializer_list<QWidget*>{QuellFile, ZielPfad, QuellLaufwerk, ZielLaufwerk, QuellPfad,
                                                      Abbrechen, Sichern})
        w->raise();

    // Tab order: the tab indices 0 to 7; the hidden ZielOrdner is skipped, labels never take the focus.
    QWidget::setTabOrder(QuellLaufwerk, QuellPfad);
    QWidget::setTabOrder(QuellPfad, QuellFile);
    QWidget::setTabOrder(QuellFile, ZielLaufwerk);
    QWidget::setTabOrder(ZielLaufwerk, ZielPfad);
    QWidget::setTabOrder(ZielPfad, ZielOrdner);
    QWidget::setTabOrder(ZielOrdner, Abbrechen);
    QWidget::setTabOrder(Abbrechen, Sichern);

    QuellLaufwerk->SetLaufwerke(tabelle_);
    ZielLaufwerk->SetLaufwerke(tabelle_);
    QuellLaufwerk->setFocus();
}

void Sicherungsfenster::Verbinden() {
    const Ereignisrahmen rahmen = [this](const std::function<void()>& handler) { Ereignis(handler); };
    const auto tabelleLesen = [this] {
        // Letters stay for the program's life: the folder lists keep their paths, so a letter must never
        // come to name another file system (Laufwerkstabelle::Fortgeschrieben).
        tabelle_ = tabelle_.Fortgeschrieben(laufwerke_());
        QuellLaufwerk->SetLaufwerke(tabelle_);
        ZielLaufwerk->SetLaufwerke(tabelle_);
    };
    QuellLaufwerk->Rahmen = rahmen;
    QuellLaufwerk->VorDemOeffnen = tabelleLesen;
    QuellLaufwerk->Change = [this] { QuellLaufwerk_Change(); };
    ZielLaufwerk->Rahmen = rahmen;
    ZielLaufwerk->VorDemOeffnen = tabelleLesen;
    ZielLaufwerk->Change = [this] { ZielLaufwerk_Change(); };
    QuellPfad->Rahmen = rahmen;
    QuellPfad->Change = [this] { QuellPfad_Change(); };
    ZielPfad->Rahmen = rahmen;
    new Zielmenue(ZielPfad, [this](const Pfad& ziel, const std::string& ordner) {
        if (SicherungenZeigen && !beendet_ && !laufend_)
            SicherungenZeigen(ziel, ordner);
    });
    connect(Abbrechen, &QPushButton::clicked, this, [this] { Ereignis([this] { Abbrechen_Click(); }); });
    connect(Sichern, &QPushButton::clicked, this, [this] { Ereignis([this] { Sichern_Click(); }); });
}

void Sicherungsfenster::Ereignis(const std::function<void()>& handler) {
    if (beendet_)
        return;
    try {
        handler();
    } catch (const FsFehler& fehler) {
        MeldePlattformfehler(*this, fehler);
        Ende(1);
    }
}

void Sicherungsfenster::Ende(int status) {
    if (beendet_)
        return;
    beendet_ = true;
    exitstatus_ = status;
    ProgrammEnde(status);
}

void Sicherungsfenster::ProgrammEnde(int status) {
    QCoreApplication::exit(status);
    hide();
}

void Sicherungsfenster::Laden() {
    Ereignis([this] { Form_Load(); });
}

// --- Handlers -------------------------------------------------------------------------------------------

Wert Sicherungsfenster::RefreshAlles() {
    ZielPfad->Refresh();
    ZielOrdner->update();
    QuellPfad->Refresh();
    QuellFile->Refresh();
    return std::monostate{};
}

void Sicherungsfenster::Form_Activate() {
    sicherung_->tmp = RefreshAlles();
}

void Sicherungsfenster::Form_GotFocus() {
    sicherung_->tmp = RefreshAlles();
}

void Sicherungsfenster::Form_Load() {
    // The notice and ", Version " are one text; each number is written in decimal without blanks.
    static const QString vermerkUndVersion = Text(kennung::Vermerk) + QStringLiteral(", Version ");
    copyversion->setText(vermerkUndVersion + QString::number(kennung::Major).trimmed() + QStringLiteral(".") +
                         QString::number(kennung::Minor).trimmed() + QStringLiteral(".") +
                         QString::number(kennung::Revision).trimmed());
    copyversion->setVisible(true);

    const Datum datum = uhr_.Date();
    const Zeit zeit = uhr_.Time();
    ZielOrdner->setText(QString::fromUtf8(Sicherungsordnername(datum, zeit)));

    QuellLaufwerk->SetDrive(QStringLiteral("C:"));
    ZielLaufwerk->SetDrive(QStringLiteral("C:"));
    QuellPfad->SetPath(Wurzelpfad(QuellLaufwerk->Drive()));
    ZielPfad->SetPath(Wurzelpfad(ZielLaufwerk->Drive()));

    // Centring in twips as single-precision values, neither rounded nor clamped; the window itself can only
    // stand on whole pixels.
    const QSizeF schirm = Bildschirm();
    left_ = (static_cast<float>(schirm.width()) - Width()) / 2.0F;
    top_ = (static_cast<float>(schirm.height()) - Height()) / 2.0F;
    const QPoint ursprung = screen() != nullptr ? screen()->geometry().topLeft() : QPoint();
    move(ursprung + QPoint(Pixel(left_, DpiX()), Pixel(top_, DpiY())));
}

void Sicherungsfenster::Abbrechen_Click() {
    if (laufend_) {
        // The run stops at its next check point and the program ends after it (Sichern_Click).
        beendenVerlangt_ = true;
        return;
    }
    Ende(0);
}

void Sicherungsfenster::QuellLaufwerk_Change() {
    QuellPfad->SetPath(Wurzelpfad(QuellLaufwerk->Drive()));
    QuellFile->SetPath(QuellPfad->Path());
}

void Sicherungsfenster::QuellPfad_Change() {
    QuellFile->SetPath(QuellPfad->Path());
}

void Sicherungsfenster::ZielLaufwerk_Change() {
    ZielPfad->SetPath(Wurzelpfad(ZielLaufwerk->Drive()));
}

void Sicherungsfenster::Sichern_Click() {
    {
        Laufklammer klammer(*this);
        SicherungLaufen();
    }
    if (beendenVerlangt_)
        Ende(NachBeendenVerlangt());
}

int Sicherungsfenster::NachBeendenVerlangt() {
    // The run was asked to stop: its own message was not shown. A run that stopped says so (its record says it
    // too), and so does one that went to its end and failed; the program then ends with status 1, so that
    // whoever started it for one run learns that this backup is not whole.
    switch (sicherung_->ausgang) {
    case Ausgang::Abgebrochen:
        (void)MsgBox(Abbruchmeldung(sicherung_->angelegt), vbExclamation, std::nullopt);
        return 1;
    case Ausgang::Fehlschlag:
        (void)MsgBox("Die Sicherung wurde nicht korrekt durchgeführt ! ", vbCritical, std::nullopt);
        return 1;
    default:
        return 0;
    }
}

std::string Abbruchmeldung(const Pfad& angelegt) {
    if (angelegt.empty())
        return std::string("Die Sicherung wurde abgebrochen ! ") + '\r' + "Es wurde nichts gesichert. ";
    return std::string("Die Sicherung wurde abgebrochen ! ") + '\r' +
           "Nur ein Teil der Dateien ist in den Ordner: " + Anzeigetext(angelegt) + " gesichert. ";
}

void Sicherungsfenster::SicherungLaufen() {
    // Backups made from the window carry the record of the source as those of the command line do.
    sicherung_->bestandslaufwerke = tabelle_;
    einzelheiten_.clear();
    einhaengepunkte_.clear();
    sicherung_->Sichern_Click();
}

void Sicherungsfenster::PruefungFehlgeschlagen(const Pfad& datei, const std::string& grund) {
    einzelheiten_ += QString::fromUtf8(Anzeigetext(datei) + ": " + grund + "\n");
}

void Sicherungsfenster::Einhaengepunkt(const Pfad& ordner) {
    einhaengepunkte_.append(QString::fromUtf8(Anzeigetext(ordner)));
    einzelheiten_ += QString::fromUtf8(Anzeigetext(ordner) + ": anderes Dateisystem eingehängt, nicht durchsucht\n");
}

// --- Geometry ---------------------------------------------------------------------------------------------

float Sicherungsfenster::Width() const {
    return static_cast<float>(Twips(frameGeometry().width(), DpiX()));
}

float Sicherungsfenster::Height() const {
    return static_cast<float>(Twips(frameGeometry().height(), DpiY()));
}

QSizeF Sicherungsfenster::Bildschirm() const {
    const QScreen* schirm = screen();
    if (schirm == nullptr)
        return {};
    return {Twips(schirm->geometry().width(), DpiX()), Twips(schirm->geometry().height(), DpiY())};
}

// --- Window events ------------------------------------------------------------------------------------------

bool Sicherungsfenster::event(QEvent* ereignis) {
    // Activate: only when the window first becomes the active window after start-up.
    if (ereignis->type() == QEvent::WindowActivate && !aktiviert_) {
        aktiviert_ = true;
        const bool ergebnis = QWidget::event(ereignis);
        Ereignis([this] { Form_Activate(); });
        return ergebnis;
    }
    return QWidget::event(ereignis);
}

void Sicherungsfenster::focusInEvent(QFocusEvent* ereignis) {
    QWidget::focusInEvent(ereignis);
    Ereignis([this] { Form_GotFocus(); });
}

void Sicherungsfenster::closeEvent(QCloseEvent* ereignis) {
    if (laufend_) {
        // A run in progress stops first, with its copies durable; the program ends after it.
        beendenVerlangt_ = true;
        ereignis->ignore();
        return;
    }
    ereignis->accept();
    Ende(0);
}

bool Sicherungsfenster::eventFilter(QObject* ziel, QEvent* ereignis) {
    if (eingabeGesperrt_ && IstEingabe(ereignis->type()) && !LaufeingabeErlaubt(ziel, ereignis->type()))
        return true;
    return QWidget::eventFilter(ziel, ereignis);
}

bool Sicherungsfenster::LaufeingabeErlaubt(QObject* ziel, QEvent::Type typ) const {
    // Input reaches the window system's window first and is handed on from there to the widget it is meant
    // for: the decision falls there, per widget. Only Abbrechen takes input during a run. The question that
    // precedes every key press (ShortcutOverride) changes nothing in any widget and lets the access key of
    // Abbrechen work; the access keys of the other buttons meet their Shortcut event dropped.
    return ziel == Abbrechen || !ziel->isWidgetType() || typ == QEvent::ShortcutOverride;
}

// --- Window interface of the engine ------------------------------------------------------------------------

Pfad Sicherungsfenster::QuellPfadPath() {
    return QuellPfad->Path();
}

Pfad Sicherungsfenster::ZielPfadPath() {
    return ZielPfad->Path();
}

void Sicherungsfenster::SetZielOrdnerText(const std::string& text) {
    ZielOrdner->setText(QString::fromUtf8(text));
}

std::string Sicherungsfenster::ZielOrdnerText() {
    return ZielOrdner->text().toStdString();
}

void Sicherungsfenster::SetMousePointer(int zeiger) {
    mousePointer_ = zeiger;
    if (zeiger == vbHourglass && !wartezeigerGesetzt_) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        wartezeigerGesetzt_ = true;
    } else if (zeiger != vbHourglass && wartezeigerGesetzt_) {
        QApplication::restoreOverrideCursor();
        wartezeigerGesetzt_ = false;
    }
}

int Sicherungsfenster::MsgBox(const std::string& prompt, int stil, const std::optional<std::string>& titel) {
    LaufanzeigeBeenden();
    // The user asked to end during the run: it ends without its message, as a run that stopped does.
    if (laufend_ && beendenVerlangt_)
        return vbOK;
    QString text = QString::fromUtf8(prompt);
    text.replace(QChar(13), QChar(10));
    QMessageBox::Icon symbol = QMessageBox::NoIcon;
    if (stil == vbCritical)
        symbol = QMessageBox::Critical;
    else if (stil == vbExclamation)
        symbol = QMessageBox::Warning;
    else if (stil == vbInformation)
        symbol = QMessageBox::Information;
    return ZeigeMeldung(text, symbol, QString::fromUtf8(titel ? *titel : std::string(Anwendungstitel)));
}

int Sicherungsfenster::ZeigeMeldung(const QString& text, QMessageBox::Icon symbol, const QString& titel) {
    QMessageBox box(symbol, titel, text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    // The failure box keeps its text and lists in its details what was not backed up, and why.
    if (symbol == QMessageBox::Critical && !einzelheiten_.isEmpty())
        box.setDetailedText(einzelheiten_);
    // The success box of a run that did not enter a file system mounted inside the source keeps its text and
    // names those folders, so that nobody takes the backup for the whole tree.
    if (symbol == QMessageBox::Information && laufend_ && !einhaengepunkte_.isEmpty()) {
        box.setInformativeText(Einhaengehinweis(einhaengepunkte_));
        box.setDetailedText(einzelheiten_);
    }
    box.exec();
    return vbOK;
}

QString Einhaengehinweis(const QStringList& einhaengepunkte) {
    return (einhaengepunkte.size() == 1 ? QStringLiteral("Nicht gesichert ist der Inhalt des eingehängten Ordners:\n")
                                        : QStringLiteral("Nicht gesichert ist der Inhalt der eingehängten Ordner:\n")) +
           einhaengepunkte.join(QChar(u'\n'));
}

void Sicherungsfenster::ZielPfadRefresh() {
    ZielPfad->Refresh();
}

// How the window stays alive during a run. The run is the click handler of Sichern and works on the window's
// one thread, so nothing repaints unless the run lets the window's events through now and then. It does so
// at its check points (Fortschritt, AbbruchVerlangt): at most every 50 ms the pending events are processed
// once, with an application-wide filter in place that drops all input but the input meant for Abbrechen.
// Paint requests, the window system's requests (expose, move, close) and timers are served; a click or key
// meant for any other control never arrives, now or after the run, so nothing else can start, and no folder
// or drive can change under the run. A click of Abbrechen or a close request only notes that the user wants
// to end; the run sees it at its next check point and stops cleanly, and the program ends after it.
//
// Why not more: no event loop of its own runs here (each pass returns as soon as the pending events are
// handled), no control is disabled or changed in its look (the window keeps its picture, and no list raises
// a Change event of its own), and the run needs no second thread and no locks.
void Sicherungsfenster::Laufereignisse(const tresor::Fortschritt* stand) {
    if (!laufend_)
        return;
    if (!eingabeGesperrt_) {
        vermerkVorDemLauf_ = copyversion->text();
        qApp->installEventFilter(this);
        eingabeGesperrt_ = true;
    }
    if (takt_.isValid() && takt_.elapsed() < 50)
        return;
    takt_.start();
    if (stand != nullptr)
        copyversion->setText(Fortschrittstext(*stand, copyversion->fontMetrics(), copyversion->width()));
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void Sicherungsfenster::Fortschritt(const tresor::Fortschritt& stand) {
    Laufereignisse(&stand);
}

bool Sicherungsfenster::AbbruchVerlangt() {
    Laufereignisse(nullptr);
    return beendenVerlangt_;
}

void Sicherungsfenster::LaufanzeigeBeenden() {
    if (!eingabeGesperrt_)
        return;
    // Input that arrived since the last pass reaches the filter now: dropped, so that no click or key given
    // to the busy window acts later; a click of Abbrechen still ends the program after the run.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    qApp->removeEventFilter(this);
    eingabeGesperrt_ = false;
    copyversion->setText(vermerkVorDemLauf_);
    takt_.invalidate();
}

} // namespace tresor::ui
