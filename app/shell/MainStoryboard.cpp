#include "MainStoryboard.h"

#include "AlertPopupController.h"
#include "Storyboard.h"

void MainStoryboard::registerScenes() {
    Storyboard& main = Storyboard::named("Main");
    main.registerController(AlertPopupController::identifier,
                            [] { return std::make_unique<AlertPopupController>(); });
}
