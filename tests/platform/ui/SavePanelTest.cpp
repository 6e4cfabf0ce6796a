#include "SavePanel.h"
#include "Eventually.h"
#include "X11Tools.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <optional>

namespace {
struct Outcome {
    SavePanel::Response response;
    QString path;
};

class SavePanelTest : public testing::Test {
protected:
    QTemporaryDir folder;
    // Before the panel: a panel destroyed while asking still answers (cancel) into this list.
    QList<Outcome> outcomes;
    std::unique_ptr<SavePanel> panel = std::make_unique<SavePanel>();

    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        panel->setAllowedFileTypes({QStringLiteral("m4a")});
        panel->setCanSelectHiddenExtension(true);
        panel->setTitle(QStringLiteral("Save Recording"));
        panel->setDirectory(folder.path());
        panel->setNameFieldStringValue(QStringLiteral("Recording"));
    }

    // A panel still asking answers cancel when it goes: let it go while the fixture is whole.
    void TearDown() override { panel.reset(); }

    void begin() {
        panel->beginWithCompletion([this](SavePanel::Response response, QString path) {
            outcomes.append({response, path});
        });
        ASSERT_TRUE(QTest::qWaitForWindowExposed(panel->dialog()));
    }

    // Clicks Save or Cancel as the user would.
    void pressButton(QDialogButtonBox::StandardButton which) {
        auto* buttons = panel->dialog()->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
        ASSERT_NE(buttons, nullptr);
        QPushButton* button = buttons->button(which);
        ASSERT_NE(button, nullptr);
        ASSERT_TRUE(button->isEnabled());
        button->click();
    }

    void typeName(const QString& name) {
        auto* nameEdit = panel->dialog()->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(nameEdit, nullptr);
        nameEdit->setText(name);
    }

    // Answers Qt's "already exists" question when it comes up, from inside its own event loop.
    void answerOverwriteQuestion(QMessageBox::StandardButton answer, bool* asked) {
        QTimer::singleShot(0, [answer, asked] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            *asked = true;
            box->button(answer)->click();
        });
    }

    QString existingFile(const QString& name) {
        QFile file(folder.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("old");
        return file.fileName();
    }
};
} // namespace

TEST_F(SavePanelTest, SavingAnswersOkOnceWithAnM4aPathAndBlocksNothing) {
    begin();
    EXPECT_EQ(panel->dialog()->windowTitle(), QStringLiteral("Save Recording"));
    EXPECT_EQ(panel->nameFieldStringValue(), QStringLiteral("Recording"));
    EXPECT_TRUE(panel->dialog()->testOption(QFileDialog::DontUseNativeDialog));
    // Non-modal: the rest of the application keeps working while the dialog is up.
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_FALSE(panel->dialog()->isModal());

    pressButton(QDialogButtonBox::Save);
    QCoreApplication::processEvents();
    ASSERT_EQ(outcomes.size(), 1);
    EXPECT_EQ(outcomes[0].response, SavePanel::Response::ok);
    EXPECT_EQ(outcomes[0].path, folder.filePath(QStringLiteral("Recording.m4a")));
    EXPECT_FALSE(panel->isVisible());
}

TEST_F(SavePanelTest, AnyOtherSuffixGetsM4aAdded) {
    begin();
    typeName(QStringLiteral("Interview.wav"));
    pressButton(QDialogButtonBox::Save);
    ASSERT_EQ(outcomes.size(), 1);
    EXPECT_EQ(outcomes[0].path, folder.filePath(QStringLiteral("Interview.wav.m4a")));

    // The type may be typed in any case.
    begin();
    typeName(QStringLiteral("Talk.M4A"));
    pressButton(QDialogButtonBox::Save);
    ASSERT_EQ(outcomes.size(), 2);
    EXPECT_EQ(outcomes[1].path, folder.filePath(QStringLiteral("Talk.M4A")));
}

TEST_F(SavePanelTest, CancellingAnswersCancelOnce) {
    begin();
    pressButton(QDialogButtonBox::Cancel);
    ASSERT_EQ(outcomes.size(), 1);
    EXPECT_EQ(outcomes[0].response, SavePanel::Response::cancel);
    EXPECT_TRUE(outcomes[0].path.isEmpty());

    // Closing the window is cancelling too.
    begin();
    panel->dialog()->close();
    QCoreApplication::processEvents();
    ASSERT_EQ(outcomes.size(), 2);
    EXPECT_EQ(outcomes[1].response, SavePanel::Response::cancel);
}

TEST_F(SavePanelTest, ConfirmedOverwriteOfAnExistingFileAnswersOk) {
    // Typed without its suffix, the name still meets the existing file: the question is asked about it.
    const QString existing = existingFile(QStringLiteral("Recording.m4a"));
    begin();
    bool asked = false;
    answerOverwriteQuestion(QMessageBox::Yes, &asked);
    pressButton(QDialogButtonBox::Save);
    EXPECT_TRUE(asked);
    ASSERT_EQ(outcomes.size(), 1);
    EXPECT_EQ(outcomes[0].response, SavePanel::Response::ok);
    EXPECT_EQ(outcomes[0].path, existing);
}

TEST_F(SavePanelTest, RefusedOverwriteKeepsTheDialogOpenUntilTheUserDecides) {
    existingFile(QStringLiteral("Take.wav.m4a"));
    begin();
    typeName(QStringLiteral("Take.wav"));
    bool asked = false;
    answerOverwriteQuestion(QMessageBox::No, &asked);
    pressButton(QDialogButtonBox::Save);
    EXPECT_TRUE(asked);
    EXPECT_TRUE(outcomes.isEmpty());
    EXPECT_TRUE(panel->isVisible());

    pressButton(QDialogButtonBox::Cancel);
    ASSERT_EQ(outcomes.size(), 1);
    EXPECT_EQ(outcomes[0].response, SavePanel::Response::cancel);
}

TEST_F(SavePanelTest, EveryBeginGetsExactlyOneAnswer) {
    begin();
    begin(); // the first one is over: cancel
    ASSERT_EQ(outcomes.size(), 1);
    EXPECT_EQ(outcomes[0].response, SavePanel::Response::cancel);
    pressButton(QDialogButtonBox::Save);
    ASSERT_EQ(outcomes.size(), 2);
    EXPECT_EQ(outcomes[1].response, SavePanel::Response::ok);

    // Going away while asking answers cancel.
    begin();
    panel.reset();
    ASSERT_EQ(outcomes.size(), 3);
    EXPECT_EQ(outcomes[2].response, SavePanel::Response::cancel);
}

TEST_F(SavePanelTest, TheCompletionMayDestroyThePanel) {
    std::optional<SavePanel::Response> answer;
    panel->beginWithCompletion([this, &answer](SavePanel::Response response, QString) {
        answer = response;
        panel.reset();
    });
    pressButton(QDialogButtonBox::Save);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, SavePanel::Response::ok);
    EXPECT_EQ(panel, nullptr);
    // The dialog goes once control is back in the event loop.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST_F(SavePanelTest, OnX11ComesToTheFrontOverAnotherApplication) {
    if (!X11Tools::isX11())
        GTEST_SKIP() << "needs an X server";
    begin();
    // The user went on in another program, which now has the focus over the dialog.
    QString foreignId;
    auto foreign = X11Tools::startForeignWindow(panel->dialog()->geometry(), &foreignId);
    ASSERT_NE(foreign, nullptr);
    ASSERT_TRUE(X11Tools::xdotool({"windowactivate", "--sync", foreignId}));
    ASSERT_TRUE(eventually([&] { return !panel->dialog()->isActiveWindow(); }));

    panel->orderFrontRegardless();
    EXPECT_TRUE(eventually([&] { return panel->dialog()->isActiveWindow(); }));
    QString active;
    X11Tools::xdotool({"getactivewindow"}, &active);
    EXPECT_EQ(active.trimmed(), QString::number(panel->dialog()->winId()));
    foreign->kill();
    foreign->waitForFinished();
}
