#include "LoginItems.h"

#include "Bundle.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

bool LoginItems::setEnabled(const QString& loginItemIdentifier, bool enabled, QString* error) {
    const auto fail = [error](const QString& reason) {
        if (error)
            *error = reason;
        return false;
    };
    // The identifier becomes a file name.
    if (loginItemIdentifier.isEmpty() || loginItemIdentifier.contains(QLatin1Char('/')) ||
        loginItemIdentifier.startsWith(QLatin1Char('.')))
        return fail(QStringLiteral("there is no login item \"%1\"").arg(loginItemIdentifier));
    const QString folderPath = autostartFolderPath();
    const QString entryPath =
        folderPath + QLatin1Char('/') + loginItemIdentifier + QStringLiteral(".desktop");

    if (!enabled) {
        const QFileInfo entry(entryPath);
        if (!entry.exists() && !entry.isSymLink())
            return true;
        QFile file(entryPath);
        return file.remove() ||
               fail(QStringLiteral("%1 cannot be removed (%2)").arg(entryPath, file.errorString()));
    }

    QString name;
    const QString executablePath = loginItemExecutablePath(loginItemIdentifier, &name);
    if (executablePath.isEmpty())
        return fail(
            QStringLiteral("the login item \"%1\" is not in the application").arg(loginItemIdentifier));
    if (!QDir().mkpath(folderPath) || !QFileInfo(folderPath).isDir())
        return fail(QStringLiteral("the folder %1 cannot be made").arg(folderPath));
    QSaveFile file(entryPath);
    if (!file.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("%1 cannot be written (%2)").arg(entryPath, file.errorString()));
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=%1\n"
                                         "Exec=%2\n"
                                         "X-GNOME-Autostart-enabled=true\n"
                                         "NoDisplay=true\n")
                              .arg(escapedString(name), execValue(executablePath));
    file.write(entry.toUtf8());
    return file.commit() ||
           fail(QStringLiteral("%1 cannot be written (%2)").arg(entryPath, file.errorString()));
}

QString LoginItems::autostartFolderPath() {
    // XDG base directories must be absolute; a relative one is ignored.
    QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (configHome.isEmpty() || QDir::isRelativePath(configHome))
        configHome = QDir::homePath() + QStringLiteral("/.config");
    return configHome + QStringLiteral("/autostart");
}

QString LoginItems::loginItemExecutablePath(const QString& identifier, QString* name) {
    const Bundle& mainBundle = Bundle::main();
    const QDir loginItemsFolder(mainBundle.bundlePath() + QStringLiteral("/Contents/Library/LoginItems"));
    const QStringList candidates =
        loginItemsFolder.entryList({QStringLiteral("*.app")}, QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& candidate : candidates) {
        const Bundle loginItem(loginItemsFolder.filePath(candidate));
        if (loginItem.identifier() != identifier)
            continue;
        const QString executablePath = loginItem.executablePath();
        if (executablePath.isEmpty() || !QFileInfo(executablePath).isFile())
            return {};
        const QString itemName = candidate.chopped(4);
        *name = mainBundle.executableName().isEmpty()
                    ? itemName
                    : mainBundle.executableName() + QLatin1Char(' ') + itemName;
        return executablePath;
    }
    return {};
}

QString LoginItems::execValue(const QString& path) {
    // Inside a quoted argument, '"', '`', '$' and '\' take a backslash; '%' starts a field code unless
    // doubled.
    QString quoted = QStringLiteral("\"");
    for (const QChar c : path) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        else if (c == QLatin1Char('%'))
            quoted += QLatin1Char('%');
        quoted += c;
    }
    quoted += QLatin1Char('"');
    // The string escapes of the value are undone before the quoting, so they are applied last.
    return escapedString(quoted);
}

QString LoginItems::escapedString(const QString& value) {
    QString escaped;
    for (const QChar c : value) {
        if (c == QLatin1Char('\\'))
            escaped += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\n'))
            escaped += QStringLiteral("\\n");
        else if (c == QLatin1Char('\t'))
            escaped += QStringLiteral("\\t");
        else if (c == QLatin1Char('\r'))
            escaped += QStringLiteral("\\r");
        else
            escaped += c;
    }
    return escaped;
}
