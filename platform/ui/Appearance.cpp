#include "Appearance.h"

#include <QGuiApplication>
#include <QPalette>

bool Appearance::isDark() {
    return isDark(QGuiApplication::palette());
}

bool Appearance::isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < 128;
}
