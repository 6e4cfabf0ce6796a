#include "SettingsEnvironment.h"

SettingsEnvironment& SettingsEnvironment::shared() {
    static SettingsEnvironment environment;
    return environment;
}
