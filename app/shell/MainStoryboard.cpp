#include "MainStoryboard.h"

#include "AlertPopupController.h"
#include "SavedPopupController.h"
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
}
