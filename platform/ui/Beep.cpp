#include "Beep.h"

#include <QApplication>

void Beep::play() {
    QApplication::beep();
}
