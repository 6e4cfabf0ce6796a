#include "X11Tools.h"

#include "XvfbSession.h"

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QRegularExpression>
#include <QScreen>
#include <QTest>
#include <QWidget>

namespace {
bool runTool(const QStringList& arguments, QString* output) {
    std::vector<std::string> argv;
    for (const QString& argument : arguments)
        argv.push_back(argument.toStdString());
    std::string text;
    const int status = XvfbSession::run(argv, &text);
    if (output)
        *output = QString::fromStdString(text);
    return status == 0;
}

QString windowIdText(const QWidget* window) {
    return QString::number(window->winId());
}
} // namespace

bool X11Tools::isX11() {
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

bool X11Tools::xdotool(const QStringList& arguments, QString* output) {
    return runTool(QStringList{QStringLiteral("xdotool")} + arguments, output);
}

bool X11Tools::movePointer(const QPoint& global) {
    // "mousemove --sync" waits for the pointer to move, forever when it is already there.
    QString location;
    if (xdotool({"getmouselocation", "--shell"}, &location) &&
        location.contains(QStringLiteral("X=%1\n").arg(global.x())) &&
        location.contains(QStringLiteral("Y=%1\n").arg(global.y())))
        return true;
    return xdotool({"mousemove", "--sync", QString::number(global.x()), QString::number(global.y())});
}

bool X11Tools::pressButton() {
    return xdotool({"mousedown", "1"});
}

bool X11Tools::releaseButton() {
    return xdotool({"mouseup", "1"});
}

bool X11Tools::click(const QPoint& global) {
    return movePointer(global) && xdotool({"click", "1"});
}

bool X11Tools::pressKey(const QString& keySymbol) {
    return xdotool({"key", keySymbol});
}

bool X11Tools::activate(const QWidget* window) {
    return xdotool({"windowactivate", "--sync", windowIdText(window)}) &&
           QTest::qWaitFor([window] { return window->isActiveWindow(); });
}

QRect X11Tools::serverGeometry(const QWidget* window) {
    QString output;
    if (!runTool({"xwininfo", "-id", windowIdText(window)}, &output))
        return {};
    auto number = [&output](const char* label) {
        const QRegularExpression pattern(QString::fromLatin1(label) + QStringLiteral(":\\s+(-?\\d+)"));
        return pattern.match(output).captured(1).toInt();
    };
    return {number("Absolute upper-left X"), number("Absolute upper-left Y"), number("Width"),
            number("Height")};
}

QStringList X11Tools::property(const QWidget* window, const QString& name) {
    QString output;
    runTool({"xprop", "-id", windowIdText(window), name}, &output);
    const int equals = output.indexOf(u'=');
    if (equals < 0)
        return {};
    QStringList values = output.mid(equals + 1).split(u',', Qt::SkipEmptyParts);
    for (QString& value : values)
        value = value.trimmed();
    return values;
}

QStringList X11Tools::windowManagerState(const QWidget* window) {
    return property(window, QStringLiteral("_NET_WM_STATE"));
}

QColor X11Tools::screenPixel(const QPoint& global) {
    QScreen* screen = QGuiApplication::primaryScreen();
    const QImage image = screen->grabWindow(0, global.x(), global.y(), 1, 1).toImage();
    return image.isNull() ? QColor() : image.pixelColor(0, 0);
}

std::unique_ptr<QProcess> X11Tools::startForeignWindow(const QRect& geometry, QString* windowId) {
    static int serial = 0;
    const QString title = QStringLiteral("ForeignWindow%1").arg(++serial);
    auto process = std::make_unique<QProcess>();
    process->start(QStringLiteral("xmessage"), {"-title", title, "-geometry",
                                                QStringLiteral("%1x%2+%3+%4")
                                                    .arg(geometry.width())
                                                    .arg(geometry.height())
                                                    .arg(geometry.x())
                                                    .arg(geometry.y()),
                                                "another application"});
    if (!process->waitForStarted(5000))
        return nullptr;
    // xdotool's search fails now and then with BadWindow when another window goes away while it looks.
    QString output;
    bool found = false;
    for (int attempt = 0; attempt < 5 && !found; ++attempt)
        found = xdotool({"search", "--sync", "--onlyvisible", "--name", title}, &output);
    if (!found) {
        process->kill();
        process->waitForFinished();
        return nullptr;
    }
    if (windowId)
        *windowId = output.split(u'\n', Qt::SkipEmptyParts).value(0).trimmed();
    return process;
}
