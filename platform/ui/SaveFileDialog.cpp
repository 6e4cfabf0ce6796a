#include "SaveFileDialog.h"

#include <QDir>
#include <QFileInfo>
#include <QLineEdit>

SaveFileDialog::SaveFileDialog(QWidget* parent)
    : QFileDialog(parent) {
    setOption(QFileDialog::DontUseNativeDialog);
    setAcceptMode(QFileDialog::AcceptSave);
    setFileMode(QFileDialog::AnyFile);
    setWindowModality(Qt::NonModal);
    setModal(false);
}

void SaveFileDialog::setAllowedSuffixes(const QStringList& suffixes) {
    allowedSuffixes_.clear();
    for (QString suffix : suffixes) {
        if (suffix.startsWith(u'.'))
            suffix.remove(0, 1);
        if (!suffix.isEmpty())
            allowedSuffixes_.append(suffix);
    }
    setDefaultSuffix(allowedSuffixes_.value(0));
}

bool SaveFileDialog::hasAllowedSuffix(const QString& path) const {
    const QString name = QFileInfo(path).fileName();
    for (const QString& suffix : allowedSuffixes_) {
        if (name.endsWith(u'.' + suffix, Qt::CaseInsensitive) && name.size() > suffix.size() + 1)
            return true;
    }
    return false;
}

QString SaveFileDialog::withAllowedSuffix(const QString& path) const {
    if (path.isEmpty() || allowedSuffixes_.isEmpty() || hasAllowedSuffix(path))
        return path;
    return path + u'.' + allowedSuffixes_.first();
}

void SaveFileDialog::accept() {
    auto* nameEdit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    if (nameEdit && !allowedSuffixes_.isEmpty()) {
        const QString typed = nameEdit->text().trimmed();
        // A typed folder is where the user wants to go, not a file name to complete.
        if (!typed.isEmpty() && !QFileInfo(directory().absoluteFilePath(typed)).isDir() &&
            !hasAllowedSuffix(typed))
            nameEdit->setText(withAllowedSuffix(typed));
    }
    QFileDialog::accept();
}
