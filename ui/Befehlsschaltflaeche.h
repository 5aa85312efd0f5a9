#pragma once

#include <QPushButton>

namespace tresor::ui {

// A command button. The window has no default button: Enter and Return click the button only while it has
// the focus, Escape clicks none. The letter after "&" in the caption is the access key (Alt+letter).
class Befehlsschaltflaeche : public QPushButton {
    Q_OBJECT
public:
    Befehlsschaltflaeche(const QString& caption, QWidget* parent);

protected:
    void keyPressEvent(QKeyEvent* ereignis) override;
};

} // namespace tresor::ui
