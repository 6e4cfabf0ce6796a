#include "DurationFormatter.h"

#include "Localization.h"

#include <algorithm>

QString DurationFormatter::string(qint64 seconds) {
    const qint64 duration = std::max<qint64>(seconds, 0);
    const int minutes = static_cast<int>(duration / 60);
    const int rest = static_cast<int>(duration % 60);
    const QString secondsText = Localization::string("Duration Seconds", rest);
    if (minutes == 0)
        return secondsText;
    const QString minutesText = Localization::string("Duration Minutes", minutes);
    if (rest == 0)
        return minutesText;
    return Localization::string("Duration Minutes And Seconds").arg(minutesText, secondsText);
}
