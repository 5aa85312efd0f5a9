#pragma once

#include "engine/ausduennung/Ausduennung.h"
#include "engine/sicherung/Sicherung.h"
#include "engine/wiederherstellung/Wiederherstellung.h"
#include "fs/Laufwerkstabelle.h"
#include "ui/Hintergrundarbeit.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QWidget>

#include <future>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace tresor::ui {

// The window "Sicherungen": the backups in a target folder, per source its points in time (newest first),
// a point's tree folder by folder, and what can be done with a point: restore chosen entries or the whole
// point into a folder or back to their original place, and check it. Every reading of the target and every
// restore and check runs on a thread of its own (Hintergrundarbeit); the engine does the work, the window
// only asks it and shows what it says.
class Sicherungsuebersicht : public QWidget {
    Q_OBJECT
public:
    Sicherungsuebersicht(Laufwerkstabelle tabelle, Dateisystemfabrik fabrik, QWidget* parent = nullptr);
    ~Sicherungsuebersicht() override;

    // Shows the backups of the target folder (program form); once they are listed, the point of the backup
    // folder `ordner` is chosen and opened when given, else the newest of the first source. Nothing while a
    // task runs.
    void ZeigeZiel(const Pfad& ziel, const std::string& ordner = {});
    // Opens the folder `ordner` ("." for the source folder) of the chosen point's tree.
    void OeffneOrdner(const std::string& ordner);
    // The buttons' actions: restore the chosen entries (or the whole point), check the point.
    void Wiederherstellen(bool ganz);
    void Pruefe();
    // Thins the backups of the chosen point's source: asks for the rule, shows the plan (what goes, what
    // stays, what it frees), asks once, then runs it (Ausduennen.cpp).
    void Ausduennen();

    // The controls, in reading order.
    QLineEdit* Ziel = nullptr;
    QPushButton* ZielWaehlen = nullptr;
    QPushButton* Aktualisieren = nullptr;
    QTreeWidget* Punkte = nullptr;
    QPushButton* NachOben = nullptr;
    QLabel* Ordnerzeile = nullptr;
    QTreeWidget* Inhalt = nullptr;
    QPushButton* AuswahlZurueck = nullptr;
    QPushButton* StandZurueck = nullptr;
    QPushButton* Pruefen = nullptr;
    QCheckBox* MitQuelle = nullptr;
    QPushButton* AusduennenKnopf = nullptr;
    QProgressBar* Balken = nullptr;
    QLabel* Rest = nullptr;
    QPushButton* Abbrechen = nullptr;
    QListWidget* Ergebnis = nullptr;
    QPushButton* Schliessen = nullptr;

    [[nodiscard]] Hintergrundarbeit& Arbeit() noexcept { return *arbeit_; }
    // The listing shown, newest first, and the tree of the chosen point (when one is open).
    [[nodiscard]] const std::vector<Listenpunkt>& Liste() const noexcept { return punkte_; }
    [[nodiscard]] const std::optional<Punktbaum>& Baum() const noexcept { return baum_; }
    [[nodiscard]] const std::string& Ordner() const noexcept { return ordner_; }

signals:
    // From a restore's thread: the answer to a conflict is wanted (FrageKonflikt, on the window's thread).
    void KonfliktGefunden(const std::shared_ptr<const tresor::Konflikt>& konflikt,
                          const std::shared_ptr<std::promise<tresor::Konfliktantwort>>& antwort);

public:
    // Where a restore goes.
    enum class Wohin { Ordner, Ursprung, Nirgends };

protected:
    // Seams for tests: where a restore goes, the folder picked, the answer to a conflict, a message.
    virtual Wohin FrageWohin(bool ganz);
    virtual std::optional<Pfad> WaehleOrdner();
    virtual Konfliktantwort FrageKonflikt(const Konflikt& konflikt);
    virtual void Hinweis(const QString& text);
    virtual std::optional<Behalteregel> FrageRegel();
    virtual bool BestaetigeAusduennung(const Ausduennungsplan& plan);

    void closeEvent(QCloseEvent* ereignis) override;
    bool eventFilter(QObject* ziel, QEvent* ereignis) override;

private:
    void Aufbauen();
    void Liste(const std::string& ordner);
    void WaehlePunkt();
    // Empties the result list but for what a thinning reported (`nachtrag_`), which the list and tree read
    // after it would otherwise wipe.
    void Leere();
    void Bereit();
    // Runs `aufgabe` with a restore object over the window's drives whose output goes to the result list.
    void Starte(const QString& was, std::function<void(Wiederherstellung&)> aufgabe, std::function<void()> danach);
    [[nodiscard]] std::optional<Pfad> Programmpfad(const QString& eingabe) const;
    [[nodiscard]] QString Anzeigepfad(const Pfad& pfad) const;
    [[nodiscard]] const Listenpunkt* Gewaehlt() const;

    Laufwerkstabelle tabelle_;
    Dateisystemfabrik fabrik_;
    std::unique_ptr<Hintergrundarbeit> arbeit_;
    Pfad ziel_;
    std::vector<Listenpunkt> punkte_;
    std::optional<Punktbaum> baum_;
    std::optional<Listenpunkt> punkt_; // the point whose tree is open
    std::string ordner_ = ".";
    std::ostringstream aus_, fehler_;
    bool schliessen_ = false;
    std::vector<QString> nachtrag_;
};

} // namespace tresor::ui
