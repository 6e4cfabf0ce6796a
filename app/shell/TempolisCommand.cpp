#include "TempolisCommand.h"

#include "RecorderService.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QFileInfo>
#include <QMap>
#include <QTextStream>

#include <climits>
#include <cstdio>

namespace {

const QString serviceName = QStringLiteral("com.Orvane.Tempolis");

const char* usage =
    "Usage: tempolis [save [SECONDS] [--output PATH] | status | pause | resume | --help]\n"
    "  (no verb)    start Tempolis\n"
    "  save         save the last SECONDS (default 30, at least 5) of the running Tempolis to\n"
    "               PATH (a folder or a new file; default: the Music folder) and print its path\n"
    "  status       whether it records, how much it holds, from which input, how long it keeps\n"
    "  pause        stop recording (what was held is forgotten) until resume\n"
    "  resume       record again\n";

int fail(int status, const QString& sentence) {
    std::fprintf(stderr, "tempolis: %s\n", qPrintable(sentence));
    return status;
}

QDBusMessage call(const QString& method, const QVariantList& arguments = {},
                  const QString& interface = QString::fromLatin1(RecorderService::interfaceName)) {
    QDBusMessage message = QDBusMessage::createMethodCall(
        serviceName, QString::fromLatin1(RecorderService::objectPath), interface, method);
    message.setArguments(arguments);
    // A long clip takes a while to encode: wait as long as it takes.
    return QDBusConnection::sessionBus().call(message, QDBus::Block, INT_MAX);
}

int failFromReply(const QDBusMessage& reply) {
    static const QMap<QString, int> statuses{
        {"NothingToSave", TempolisCommand::nothingToSave},
        {"InvalidArgument", TempolisCommand::invalidArgument},
        {"FileExists", TempolisCommand::fileExists},
        {"ExportFailed", TempolisCommand::exportFailed},
    };
    const QString prefix = QString::fromLatin1(RecorderService::errorPrefix);
    const QString name = reply.errorName();
    const int status = name.startsWith(prefix)
                           ? statuses.value(name.mid(prefix.size()), TempolisCommand::otherError)
                           : TempolisCommand::otherError;
    return fail(status, reply.errorMessage());
}

int save(QStringList arguments) {
    double seconds = 30;
    QString output;
    while (!arguments.isEmpty()) {
        const QString argument = arguments.takeFirst();
        if (argument == "--output" || argument == "-o") {
            if (arguments.isEmpty()) {
                return fail(TempolisCommand::usageError, QStringLiteral("--output needs a path."));
            }
            output = QFileInfo(arguments.takeFirst()).absoluteFilePath();
        } else {
            bool ok = false;
            seconds = argument.toDouble(&ok);
            if (!ok) {
                return fail(TempolisCommand::usageError,
                            QStringLiteral("\"%1\" is not a number of seconds.").arg(argument));
            }
        }
    }
    const QDBusMessage reply = call(QStringLiteral("SaveClip"), {seconds, output});
    if (reply.type() == QDBusMessage::ErrorMessage) {
        return failFromReply(reply);
    }
    QTextStream(stdout) << reply.arguments().value(0).toString() << "\n";
    return TempolisCommand::success;
}

int status() {
    const QDBusMessage reply =
        call(QStringLiteral("GetAll"), {QString::fromLatin1(RecorderService::interfaceName)},
             QStringLiteral("org.freedesktop.DBus.Properties"));
    if (reply.type() == QDBusMessage::ErrorMessage) {
        return failFromReply(reply);
    }
    const QVariantMap properties = qdbus_cast<QVariantMap>(reply.arguments().value(0));
    const QString device = properties.value("Device").toString();
    const QString recording = properties.value("Recording").toBool()    ? QStringLiteral("yes")
                              : properties.value("Paused").toBool()     ? QStringLiteral("no (paused)")
                              : properties.value("Restarting").toBool() ? QStringLiteral("no (restarting)")
                                                                        : QStringLiteral("no");
    QTextStream(stdout) << "Recording: " << recording << "\n"
                        << "Held: " << properties.value("HeldSeconds").toDouble() << " seconds\n"
                        << "Input: " << (device.isEmpty() ? QStringLiteral("none") : device) << "\n"
                        << "Keeps: " << properties.value("CaptureMaxMinutes").toInt() << " minutes\n";
    return TempolisCommand::success;
}

} // namespace

bool TempolisCommand::handles(const QStringList& arguments) {
    // The toolkit's own options (QGuiApplication's and the X11 platform's), which it also takes with two
    // dashes; those of the first list take a value.
    static const QStringList withValue{"platform",
                                       "platformpluginpath",
                                       "platformtheme",
                                       "plugin",
                                       "qmljsdebugger",
                                       "qwindowgeometry",
                                       "qwindowicon",
                                       "qwindowtitle",
                                       "session",
                                       "display",
                                       "name",
                                       "title",
                                       "visual",
                                       "geometry",
                                       "style",
                                       "stylesheet",
                                       "ncols",
                                       "cmap",
                                       "fn",
                                       "font",
                                       "bg",
                                       "background",
                                       "fg",
                                       "foreground",
                                       "btn",
                                       "button",
                                       "im",
                                       "inputstyle"};
    static const QStringList flags{"reverse", "widgetcount", "nograb", "dograb", "sync", "testability"};
    for (int i = 0; i < arguments.size(); ++i) {
        QString option = arguments[i];
        if (!option.startsWith('-')) {
            return true;
        }
        option = option.mid(option.startsWith("--") ? 2 : 1);
        const QString name = option.section('=', 0, 0);
        if (flags.contains(name)) {
            continue;
        }
        if (!withValue.contains(name)) {
            return true;
        }
        if (!option.contains('=')) {
            ++i; // its value
        }
    }
    return false;
}

int TempolisCommand::run(const QStringList& arguments) {
    static const QStringList verbs{"save", "status", "pause", "resume"};
    const QString verb = arguments.value(0);
    if (verb == "--help" || verb == "-h" || verb == "help") {
        std::fputs(usage, stdout);
        return success;
    }
    if (!verbs.contains(verb)) {
        std::fprintf(stderr, "tempolis: \"%s\" is not a verb of tempolis.\n%s", qPrintable(verb), usage);
        return usageError;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()->isServiceRegistered(serviceName).value()) {
        return fail(notRunning, QStringLiteral("Tempolis is not running (start it with \"tempolis\")."));
    }
    if (verb == "save") {
        return save(arguments.mid(1));
    }
    if (arguments.size() > 1) {
        return fail(usageError, QStringLiteral("\"%1\" takes no arguments.").arg(verb));
    }
    if (verb == "status") {
        return status();
    }
    const QDBusMessage reply = call(verb == "pause" ? QStringLiteral("Pause") : QStringLiteral("Resume"));
    return reply.type() == QDBusMessage::ErrorMessage ? failFromReply(reply) : success;
}
