#include "ui/Befehlsschaltflaeche.h"

#include <QKeyEvent>

namespace tresor::ui {

Befehlsschaltflaeche::Befehlsschaltflaeche(const QString& caption, QWidget* parent) : QPushButton(caption, parent) {
    setAutoDefault(false);
    setDefault(false);
}

void Befehlsschaltflaeche::keyPressEvent(QKeyEvent* ereignis) {
    // Without auto-default a push button ignores Enter; a focused button still answers it here, but it is
    // never a default button for the rest of the window.
    if ((ereignis->key() == Qt::Key_Return || ereignis->key() == Qt::Key_Enter) &&
        (ereignis->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        animateClick();
        return;
    }
    QPushButton::keyPressEvent(ereignis);
}

} // namespace tresor::ui
