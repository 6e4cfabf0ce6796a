#include "NewBrandWindow.h"

#include "Log.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QGuiApplication>
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
} // namespace

// A main window is what assistive technologies present as a window (a frame); its title bar carries no text.
NewBrandWindow::NewBrandWindow()
    : QMainWindow(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                               Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint |
                               Qt::WindowStaysOnTopHint) {
    loadFontsOnce();
    setAccessibleName(QString::fromLatin1(windowName));
    setWindowTitle(QString());
    setAutoFillBackground(true);
    QPalette windowPalette = palette();
    windowPalette.setColor(QPalette::Window, Qt::white);
    setPalette(windowPalette);

    auto* view = new QQuickWidget(this);
    view->setResizeMode(QQuickWidget::SizeViewToRootObject);
    view->setClearColor(Qt::white);
    // The view reaches this window by name: the widget makes its root item anew once it is in its window
    // (Qt 6.4), so a connection to the first root item would never fire.
    view->rootContext()->setContextProperty(QStringLiteral("controller"), this);
    view->setSource(viewSource);
    for (const auto& error : view->errors())
        Log::write("Error: NewBrandWindowController: " + error.toString().toStdString());
    setCentralWidget(view);
    setFixedSize(windowWidth, windowHeight);
}

NewBrandWindow::~NewBrandWindow() = default;

void NewBrandWindow::present() {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    show();
    raise();
    activateWindow();
}

void NewBrandWindow::openProductWebPage() {
    emit productWebPageRequested();
}

void NewBrandWindow::closeEvent(QCloseEvent* event) {
    QMainWindow::closeEvent(event);
    if (event->isAccepted())
        emit closed();
}
