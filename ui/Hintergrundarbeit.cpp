#include "ui/Hintergrundarbeit.h"

#include <QLocale>
#include <QMetaObject>

#include <cmath>

namespace tresor::ui {

Hintergrundarbeit::Hintergrundarbeit(QProgressBar* balken, QLabel* rest, QPushButton* abbrechen, QObject* parent)
    : QObject(parent), balken_(balken), rest_(rest), abbrechen_(abbrechen) {
    takt_.setInterval(100);
    connect(&takt_, &QTimer::timeout, this, &Hintergrundarbeit::Zeige);
    connect(abbrechen_, &QPushButton::clicked, this, [this] { Anhalten(); });
    connect(this, &Hintergrundarbeit::Beendet, this, &Hintergrundarbeit::Ende, Qt::QueuedConnection);
    abbrechen_->setEnabled(false);
}

Hintergrundarbeit::~Hintergrundarbeit() {
    Anhalten();
    Warte();
}

bool Hintergrundarbeit::Starte(const QString& was, std::function<void()> aufgabe, std::function<void()> fertig) {
    if (laeuft_)
        return false;
    Warte();
    laeuft_ = true;
    stopp_ = false;
    {
        const std::lock_guard<std::mutex> sperre(schutz_);
        stand_ = {};
        gemeldet_ = false;
    }
    fertig_ = std::move(fertig);
    balken_->setRange(0, 0); // busy until the task knows its totals
    balken_->setFormat(was + QStringLiteral(" %p %"));
    balken_->setVisible(true);
    rest_->setText(was + QStringLiteral(" …"));
    abbrechen_->setEnabled(true);
    uhr_.start();
    takt_.start();
    faden_ = std::thread([this, aufgabe = std::move(aufgabe)] {
        aufgabe();
        emit Beendet();
    });
    return true;
}

void Hintergrundarbeit::Melde(const Rueckholstand& stand) {
    const std::lock_guard<std::mutex> sperre(schutz_);
    stand_ = stand;
    gemeldet_ = true;
}

void Hintergrundarbeit::Warte() {
    if (faden_.joinable())
        faden_.join();
}

void Hintergrundarbeit::Zeige() {
    Rueckholstand s;
    {
        const std::lock_guard<std::mutex> sperre(schutz_);
        if (!gemeldet_)
            return;
        s = stand_;
    }
    // Bytes tell the time a restore takes; a point of links and empty files has files only.
    const double anteil = s.BytesGesamt > 0     ? static_cast<double>(s.Bytes) / static_cast<double>(s.BytesGesamt)
                          : s.DateienGesamt > 0 ? static_cast<double>(s.Dateien) / static_cast<double>(s.DateienGesamt)
                                                : 1.0;
    balken_->setRange(0, 1000);
    balken_->setValue(static_cast<int>(std::lround(std::min(anteil, 1.0) * 1000)));
    balken_->setFormat(QStringLiteral("%1 %").arg(std::floor(std::min(anteil, 1.0) * 100)));
    QString text = QStringLiteral("%1 von %2 Dateien, %3 von %4")
                       .arg(s.Dateien)
                       .arg(s.DateienGesamt)
                       .arg(Groessentext(s.Bytes), Groessentext(s.BytesGesamt));
    if (const QString rest = Restzeit(anteil, uhr_.elapsed()); !rest.isEmpty())
        text += QStringLiteral(", ") + rest;
    if (stopp_)
        text += QStringLiteral(" – wird angehalten …");
    rest_->setText(text);
}

void Hintergrundarbeit::Ende() {
    Warte();
    takt_.stop();
    Zeige();
    laeuft_ = false;
    abbrechen_->setEnabled(false);
    balken_->setRange(0, 1000);
    bool gemeldet = false;
    {
        const std::lock_guard<std::mutex> sperre(schutz_);
        gemeldet = gemeldet_;
    }
    if (!gemeldet) {
        // A task without totals (reading the target) leaves no bar behind.
        balken_->setValue(0);
        balken_->setFormat(QString());
        rest_->clear();
    }
    if (std::function<void()> fertig = std::move(fertig_))
        fertig();
}

QString Restzeit(double anteil, qint64 ms) {
    if (anteil <= 0.02 || anteil >= 1.0 || ms < 1000)
        return {};
    const auto sekunden = static_cast<qint64>(std::llround(static_cast<double>(ms) * (1.0 - anteil) / anteil / 1000.0));
    if (sekunden < 60)
        return QStringLiteral("noch etwa %1 s").arg(std::max<qint64>(sekunden, 1));
    if (sekunden < 3600)
        return QStringLiteral("noch etwa %1 min").arg((sekunden + 30) / 60);
    return QStringLiteral("noch etwa %1 h %2 min").arg(sekunden / 3600).arg(sekunden % 3600 / 60);
}

QString Groessentext(std::uint64_t bytes) {
    if (bytes < 1024)
        return QStringLiteral("%1 Bytes").arg(bytes);
    const QLocale deutsch(QLocale::German, QLocale::Germany);
    const char* einheiten[] = {"KB", "MB", "GB", "TB"};
    double wert = static_cast<double>(bytes) / 1024.0;
    int stufe = 0;
    while (wert >= 1024.0 && stufe < 3) {
        wert /= 1024.0;
        ++stufe;
    }
    return deutsch.toString(wert, 'f', 1) + QLatin1Char(' ') + QLatin1String(einheiten[stufe]);
}

} // namespace tresor::ui
