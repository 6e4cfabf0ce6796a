#include "UsageAnalytics.h"

#include "Analytics.h"
#include "AnalyticsConfiguration.h"
#include "Bundle.h"

#include <QCoreApplication>

Analytics& UsageAnalytics::shared() {
    static Analytics* const analytics = [] {
        AnalyticsConfiguration configuration;
        configuration.writeKey = QStringLiteral(TEMPOLIS_ANALYTICS_WRITE_KEY);
        configuration.trackApplicationLifecycleEvents = true;
        configuration.flushAt = 3;
        configuration.flushIntervalSeconds = 10.0;
        configuration.endpoint = QUrl(QStringLiteral(TEMPOLIS_ANALYTICS_ENDPOINT));
        configuration.applicationVersion = Bundle::main().shortVersion();
        configuration.applicationBuild = Bundle::main().version();
        return new Analytics(configuration, QCoreApplication::instance());
    }();
    return *analytics;
}
