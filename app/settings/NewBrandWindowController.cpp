#include "NewBrandWindowController.h"

#include "Defaults.h"
#include "Log.h"
#include "UserNotificationCenter.h"
#include "Workspace.h"

#include <QApplication>
#include <QDateTime>
#include <QFontDatabase>
#include <QMainWindow>
#include <QQmlContext>
#include <QQuickWidget>
#include <QScreen>
#include <QUrl>

namespace {
const QUrl viewSource(QStringLiteral("qrc:/settings/NewBrandWindowView.qml"));

// The view names its faces by family; they are in no system font folder.
void loadFontsOnce() {
    static const bool loaded = [] {
        for (const char* face : {":/fonts/LexendDeca-Regular.ttf", ":/fonts/LexendDeca-Bold.ttf"}) {
            if (QFontDatabase::addApplicationFont(QString::fromLatin1(face)) < 0)
                Log::write(std::string("Error: NewBrandWindowController: Cannot load the font ") + face);
        }
        return true;
    }();
    (void)loaded;
}

double nowSeconds() {
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}
} // namespace

NewBrandWindowController*
NewBrandWindowController::showNewBrandWindow(Workspace& workspace,
                                             UserNotificationCenter& userNotifications) {
    loadFontsOnce();
    auto* controller = new NewBrandWindowController(workspace, userNotifications);

    // A titled window that can be closed and minimized but not resized, kept above normal windows as the
    // status item is; its title bar carries no text. A main window is what assistive technologies present
    // as a window (a frame).
    auto* window = new QMainWindow(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                                Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint |
                                                Qt::WindowStaysOnTopHint);
    controller->window_.reset(window);
    window->setAccessibleName(QString::fromLatin1(windowName));
    window->setWindowTitle(QString());
    window->setAutoFillBackground(true);
    QPalette palette = window->palette();
    palette.setColor(QPalette::Window, Qt::white);
    window->setPalette(palette);
    window->setCentralWidget(controller->view());
    window->setFixedSize(windowWidth, windowHeight);
    window->installEventFilter(controller);

    if (const QScreen* screen = QApplication::primaryScreen()) {
        QRect frame(QPoint(), window->size());
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
    // Quitting with the window open skips the close steps; the window still goes before the application.
    connect(qApp, &QCoreApplication::aboutToQuit, controller, [controller] { delete controller; });
    window->show();
    window->raise();
    window->activateWindow();
    return controller;
}

bool NewBrandWindowController::isAnnouncementDue(double nowSeconds, double firstShownSeconds) {
    return nowSeconds - firstShownSeconds >= repeatIntervalSeconds;
}

NewBrandWindowController::NewBrandWindowController(Workspace& workspace,
                                                   UserNotificationCenter& userNotifications)
    : workspace_(workspace)
    , userNotifications_(userNotifications) {}

NewBrandWindowController::~NewBrandWindowController() = default;

std::unique_ptr<QWidget> NewBrandWindowController::loadView() {
    auto view = std::make_unique<QQuickWidget>();
    view->setResizeMode(QQuickWidget::SizeViewToRootObject);
    view->setClearColor(Qt::white);
    // The view reaches its controller by name: the widget makes its root item anew once it is in its window
    // (Qt 6.4), so a connection to the first root item would never fire.
    view->rootContext()->setContextProperty(QStringLiteral("controller"), this);
    view->setSource(viewSource);
    for (const auto& error : view->errors())
        Log::write("Error: NewBrandWindowController: " + error.toString().toStdString());
    return view;
}

bool NewBrandWindowController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_.get() && event->type() == QEvent::Close && event->isAccepted()) {
        windowWillClose();
        return false;
    }
    return ViewController::eventFilter(watched, event);
}

void NewBrandWindowController::openProductWebPage() {
    workspace_.openURL(QUrl(QString::fromLatin1(productWebPage)));
}

void NewBrandWindowController::windowWillClose() {
    // The window is still handling its close event: let it go once that has returned, and this controller
    // with it.
    window_.release()->deleteLater();
    deleteLater();

    if (isAnnouncementDue(nowSeconds(), Defaults::doubleValue(Defaults::finalUpdateLaunchDateKey)))
        scheduleLegacyNotification(QString::fromLatin1(betaTitle), QString::fromLatin1(betaSubtitle), true);
    // Start-up sets the count before the first showing, so this only answers a store changed meanwhile.
    if (Defaults::integer(Defaults::finalUpdateLaunchCountKey) == 0)
        scheduleLegacyNotification(QString::fromLatin1(updateTitle), QString::fromLatin1(updateSubtitle),
                                   false);
}

void NewBrandWindowController::scheduleLegacyNotification(const QString& title, const QString& subtitle,
                                                          bool thirdDayNotif) {
    // A click on the beta notification reaches the application delegate, which opens the product page for
    // thirdDayNotif true.
    userNotifications_.schedule(title, subtitle, {{QString::fromLatin1(thirdDayKey), thirdDayNotif}},
                                QDateTime::currentDateTimeUtc().addSecs(1));
}
