#pragma once

#include "engine/sicherung/Fensterschnittstelle.h"
#include "engine/sicherung/Sicherung.h"
#include "engine/sicherung/Uhr.h"
#include "fs/Laufwerkstabelle.h"
#include "ui/Befehlsschaltflaeche.h"
#include "ui/Dateiliste.h"
#include "ui/Laufwerksliste.h"
#include "ui/Verzeichnisliste.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QSizeF>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>

namespace tresor::ui {

// Reads the drive table: at start and whenever a drive list is opened.
using Laufwerksquelle = std::function<Laufwerkstabelle()>;
// Creates a file-system object over a drive table.
using Dateisystemerzeuger = std::function<std::unique_ptr<Dateisystem>(const Laufwerkstabelle&)>;

// The window Sicherung: the program's one window, with its seventeen controls, its event handlers and the
// engine half (the backup state and the backup run) that it owns.
//
// Every handler runs inside an event frame: a failure of the file system (FsFehler) shows the platform's
// error report and ends the program with exit status 1; after the program has ended no handler runs again.
class Sicherungsfenster : public QWidget, public Fensterschnittstelle {
    Q_OBJECT
public:
    Sicherungsfenster(Laufwerksquelle laufwerke, Uhr& uhr, Dateisystemerzeuger erzeuger, QWidget* parent = nullptr);
    ~Sicherungsfenster() override;

    // The controls, in the order in which the window creates them. Label2 has the elements 1 to 4 and
    // Label5 the elements 0 and 1; Label2[0] is always null.
    Dateiliste* QuellFile = nullptr;
    Verzeichnisliste* ZielPfad = nullptr;
    Laufwerksliste* QuellLaufwerk = nullptr;
    Laufwerksliste* ZielLaufwerk = nullptr;
    Verzeichnisliste* QuellPfad = nullptr;
    QLineEdit* ZielOrdner = nullptr;
    Befehlsschaltflaeche* Abbrechen = nullptr;
    Befehlsschaltflaeche* Sichern = nullptr;
    std::array<QLabel*, 2> Label5{};
    std::array<QLabel*, 5> Label2{};
    QLabel* copyversion = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label1 = nullptr;

    // Asked by the target list's context menu (Zielmenue.h) to show the backups of the target folder `ziel`,
    // with the point of the backup folder `ordner` chosen when it is not empty. Not during a run.
    std::function<void(const Pfad& ziel, const std::string& ordner)> SicherungenZeigen;

    // The engine half: the backup state tmp, tmp_sichern, tmp_fehler, fc, fso and the backup run.
    [[nodiscard]] tresor::Sicherung& Engine() noexcept { return *sicherung_; }

    // Refreshes ZielPfad, ZielOrdner, QuellPfad and QuellFile, in this order; the result is always empty.
    [[nodiscard]] Wert RefreshAlles();

    // The event handlers. Each runs its steps directly; the window calls them inside its event frame.
    void Form_Activate();
    void Form_GotFocus();
    // Start-up defaults: version caption, backup folder name, drive C: and its root on both sides, centring.
    void Form_Load();
    // Closes the window and ends the program with status 0, without a question. During a backup run it asks
    // the run to stop first: the program ends once the copies made so far are durable and marked, after a
    // message that says so, with status 1.
    void Abbrechen_Click();
    void QuellLaufwerk_Change();
    void QuellPfad_Change();
    void ZielLaufwerk_Change();
    // The backup run. While it works the window repaints and shows its progress, and takes no input but a
    // click of Abbrechen; that click and a close request stop the run and then end the program: with status 0
    // after a run that went through or found nothing (without its message), else after a message that says
    // the run was stopped (Abbruchmeldung) or failed, with status 1.
    void Sichern_Click();

    // Runs Form_Load inside the event frame: what the program's start calls before showing the window.
    void Laden();

    // The window's position in twips as Form_Load computed it, not rounded (may be negative or end in .5).
    [[nodiscard]] float Left() const noexcept { return left_; }
    [[nodiscard]] float Top() const noexcept { return top_; }
    // The window's outer size in twips.
    [[nodiscard]] float Width() const;
    [[nodiscard]] float Height() const;
    // The mouse pointer last set: vbDefault or vbHourglass.
    [[nodiscard]] int MousePointer() const noexcept { return mousePointer_; }
    // True once the program has ended (Abbrechen, closing, or a failure); then with this exit status.
    [[nodiscard]] bool Beendet() const noexcept { return beendet_; }
    [[nodiscard]] int Exitstatus() const noexcept { return exitstatus_; }
    // True while a backup run is in progress.
    [[nodiscard]] bool Laeuft() const noexcept { return laufend_; }

    // The window interface of the engine.
    Pfad QuellPfadPath() override;
    Pfad ZielPfadPath() override;
    void SetZielOrdnerText(const std::string& text) override;
    std::string ZielOrdnerText() override;
    void SetMousePointer(int zeiger) override;
    // Restores what the run's progress display changed, then shows the box.
    int MsgBox(const std::string& prompt, int stil, const std::optional<std::string>& titel) override;
    void ZielPfadRefresh() override;
    // Shows the progress in the notice line and lets the window repaint, at most every 50 ms.
    void Fortschritt(const tresor::Fortschritt& stand) override;
    // Lets the window repaint (at most every 50 ms) and take Abbrechen or a close request; true once one came.
    bool AbbruchVerlangt() override;
    // Each entry the run could not back up, with the reason, and each mounted file system it did not enter:
    // listed in the details of the failure box (one line each).
    void PruefungFehlgeschlagen(const Pfad& datei, const std::string& grund) override;
    void Einhaengepunkt(const Pfad& ordner) override;
    // The details of the last run, as its closing box shows them.
    [[nodiscard]] const QString& Einzelheiten() const noexcept { return einzelheiten_; }

protected:
    // Shows the modal message box and returns the number of the button pressed. A seam for tests.
    virtual int ZeigeMeldung(const QString& text, QMessageBox::Icon symbol, const QString& titel);
    // Ends the program: leaves the event loop with the status and hides the window. A seam for tests.
    virtual void ProgrammEnde(int status);
    // The backup run of the engine. A seam for tests.
    virtual void SicherungLaufen();
    // The full size of the screen in twips. A seam for tests.
    [[nodiscard]] virtual QSizeF Bildschirm() const;

    bool event(QEvent* ereignis) override;
    void focusInEvent(QFocusEvent* ereignis) override;
    void closeEvent(QCloseEvent* ereignis) override;
    bool eventFilter(QObject* ziel, QEvent* ereignis) override;

private:
    class Laufklammer;

    QString einzelheiten_;        // what the run under way could not back up, one line each
    QStringList einhaengepunkte_; // the folders with another file system mounted that it did not enter

    // After a run that the user asked to stop: says how it ended where it was not whole; the exit status.
    int NachBeendenVerlangt();

    void Aufbauen();
    void Verbinden();
    void Ereignis(const std::function<void()>& handler);
    void Ende(int status);
    void LaufanzeigeBeenden();
    void Laufereignisse(const tresor::Fortschritt* stand);
    [[nodiscard]] bool LaufeingabeErlaubt(QObject* ziel, QEvent::Type typ) const;
    [[nodiscard]] std::unique_ptr<Dateisystem> NeuesDateisystem() const;
    [[nodiscard]] double DpiX() const;
    [[nodiscard]] double DpiY() const;

    Laufwerksquelle laufwerke_;
    Laufwerkstabelle tabelle_;
    Dateisystemerzeuger erzeuger_;
    Uhr& uhr_;
    std::unique_ptr<tresor::Sicherung> sicherung_;

    float left_ = 0;
    float top_ = 0;
    int mousePointer_ = vbDefault;
    bool wartezeigerGesetzt_ = false;
    bool aktiviert_ = false;
    bool beendet_ = false;
    int exitstatus_ = 0;
    bool laufend_ = false;
    bool eingabeGesperrt_ = false;
    bool beendenVerlangt_ = false; // Abbrechen or a close request came during the run
    QString vermerkVorDemLauf_;
    QElapsedTimer takt_;
};

// The message after a run that was stopped (Abbrechen, closing the window): `angelegt` is the backup folder it
// made, empty when it made none.
[[nodiscard]] std::string Abbruchmeldung(const Pfad& angelegt);
// The note under the success message of a run that did not enter the mounted file systems at `einhaengepunkte`.
[[nodiscard]] QString Einhaengehinweis(const QStringList& einhaengepunkte);

// The drive text's root path: its first two characters and a backslash ("C: [/]" -> "C:\").
[[nodiscard]] Pfad Wurzelpfad(const QString& laufwerk);

// The progress as the notice line shows it, folder shortened to fit `breite` pixels.
[[nodiscard]] QString Fortschrittstext(const tresor::Fortschritt& stand, const QFontMetrics& metrik, int breite);

} // namespace tresor::ui
