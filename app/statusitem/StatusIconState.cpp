#include "StatusIconState.h"

#include "Localization.h"

QString statusIconStateText(StatusIconState state) {
    switch (state) {
    case StatusIconState::idle:
        return Localization::string("Status Not Recording");
    case StatusIconState::recording:
        return Localization::string("Status Recording");
    case StatusIconState::paused:
        return Localization::string("Status Paused");
    case StatusIconState::saving:
        return Localization::string("Status Saving");
    case StatusIconState::error:
        return Localization::string("Status Error");
    }
    return {};
}

QString statusIconIndicatorImage(StatusIconState state) {
    switch (state) {
    case StatusIconState::recording:
        return QStringLiteral("Status-Recording");
    case StatusIconState::paused:
        return QStringLiteral("Status-Paused");
    case StatusIconState::error:
        return QStringLiteral("Status-Error");
    case StatusIconState::idle:
    case StatusIconState::saving:
        break;
    }
    return {};
}
