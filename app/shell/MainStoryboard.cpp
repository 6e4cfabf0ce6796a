#include "MainStoryboard.h"

#include "AlertPopupController.h"
#include "MoreSettingsController.h"
#include "SavedPopupController.h"
#include "SettingsController.h"
#include "Storyboard.h"
#include "TimePopupController.h"

void MainStoryboard::registerScenes() {
    Storyboard& main = Storyboard::named("Main");
    main.registerController(AlertPopupController::identifier,
                            [] { return std::make_unique<AlertPopupController>(); });
    main.registerController(TimePopupController::identifier,
                            [] { return std::make_unique<TimePopupController>(); });
    main.registerController(SavedPopupController::identifier,
                            [] { return std::make_unique<SavedPopupController>(); });
    main.registerController(SettingsController::identifier,
                            [] { return std::make_unique<SettingsController>(); });
    main.registerController(MoreSettingsController::identifier,
                            [] { return std::make_unique<MoreSettingsController>(); });
}
