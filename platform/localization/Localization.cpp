#include "Localization.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

namespace {
constexpr const char* tableContext = "Localizable";
}

void Localization::install(QCoreApplication& application) {
    auto* translator = new QTranslator(&application);
    // Tables are compiled into the program's resources as :/i18n/tempolis_<language>.qm.
    if (translator->load(QLocale(), "tempolis", "_", ":/i18n") || translator->load(":/i18n/tempolis_en.qm")) {
        QCoreApplication::installTranslator(translator);
    } else {
        delete translator;
    }
}

QString Localization::string(const char* key) {
    return QCoreApplication::translate(tableContext, key);
}

QString Localization::string(const char* key, int count) {
    return QCoreApplication::translate(tableContext, key, nullptr, count);
}
