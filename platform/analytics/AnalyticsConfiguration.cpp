#include "AnalyticsConfiguration.h"

#include <QStandardPaths>

QString AnalyticsConfiguration::defaultStorageDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/analytics");
}
