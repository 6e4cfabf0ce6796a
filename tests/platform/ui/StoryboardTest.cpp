#include "Storyboard.h"
#include "ViewController.h"

#include <QLabel>

#include <gtest/gtest.h>

namespace {
class LabelController : public ViewController {
public:
    int loads = 0;

protected:
    std::unique_ptr<QWidget> loadView() override {
        ++loads;
        return std::make_unique<QLabel>(QStringLiteral("scene"));
    }
};
} // namespace

TEST(Storyboard, MakesAFreshControllerPerSceneAndNoneForUnknownOnes) {
    Storyboard& storyboard = Storyboard::named(QStringLiteral("StoryboardTest"));
    storyboard.registerController(QStringLiteral("Label"),
                                  [] { return std::make_unique<LabelController>(); });
    storyboard.registerController(QStringLiteral("Refusing"),
                                  [] { return std::unique_ptr<ViewController>(); });

    // Registered scenes are found through the name from anywhere.
    Storyboard& again = Storyboard::named(QStringLiteral("StoryboardTest"));
    const auto first = again.instantiateController(QStringLiteral("Label"));
    const auto second = again.instantiateController(QStringLiteral("Label"));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first.get(), second.get());
    EXPECT_NE(dynamic_cast<LabelController*>(first.get()), nullptr);

    EXPECT_EQ(again.instantiateController(QStringLiteral("Unknown")), nullptr);
    EXPECT_EQ(again.instantiateController(QStringLiteral("Refusing")), nullptr);
    // Scenes belong to their storyboard.
    EXPECT_EQ(
        Storyboard::named(QStringLiteral("OtherStoryboard")).instantiateController(QStringLiteral("Label")),
        nullptr);
}

TEST(ViewController, LoadsItsViewOnceOnDemandAndDeletesItWithItself) {
    QPointer<QWidget> view;
    {
        LabelController controller;
        EXPECT_FALSE(controller.isViewLoaded());
        view = controller.view();
        EXPECT_EQ(controller.view(), view);
        EXPECT_EQ(controller.loads, 1);
        EXPECT_NE(qobject_cast<QLabel*>(view), nullptr);
    }
    EXPECT_TRUE(view.isNull());
}
