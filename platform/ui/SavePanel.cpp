#include "SavePanel.h"

#include "AppActivation.h"
#include "SaveFileDialog.h"

#include <QLineEdit>
#include <QMimeDatabase>

SavePanel::SavePanel(QObject* parent)
    : QObject(parent)
    , dialog_(std::make_unique<SaveFileDialog>()) {
    dialog_->setObjectName(QStringLiteral("SavePanel"));
    connect(dialog_.get(), &QDialog::finished, this, &SavePanel::dialogFinished);
}

SavePanel::~SavePanel() {
    dialog_->disconnect(this);
    dialog_->hide();
    if (completion_)
        complete(Response::cancel, {});
    // Destroyed from its own completion, the dialog is still inside QDialog::done(): delete it later.
    if (completing_)
        dialog_.release()->deleteLater();
}

void SavePanel::setAllowedFileTypes(const QStringList& types) {
    dialog_->setAllowedSuffixes(types);
    const QStringList suffixes = dialog_->allowedSuffixes();
    if (suffixes.isEmpty()) {
        dialog_->setNameFilters({});
        return;
    }
    QStringList patterns;
    for (const QString& suffix : suffixes)
        patterns.append(QStringLiteral("*.") + suffix);
    QString description =
        QMimeDatabase()
            .mimeTypeForFile(QStringLiteral("file.") + suffixes.first(), QMimeDatabase::MatchExtension)
            .comment();
    if (description.isEmpty())
        description = suffixes.join(QStringLiteral(", "));
    dialog_->setNameFilter(description + QStringLiteral(" (") + patterns.join(u' ') + u')');
}

QStringList SavePanel::allowedFileTypes() const {
    return dialog_->allowedSuffixes();
}

void SavePanel::setNameFieldStringValue(const QString& name) {
    name_ = name;
    dialog_->selectFile(name);
}

QString SavePanel::nameFieldStringValue() const {
    if (const auto* nameEdit = dialog_->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
        return nameEdit->text();
    return name_;
}

void SavePanel::setTitle(const QString& title) {
    dialog_->setWindowTitle(title);
}

QString SavePanel::title() const {
    return dialog_->windowTitle();
}

void SavePanel::setDirectory(const QString& path) {
    directory_ = path;
    dialog_->setDirectory(path);
}

QString SavePanel::directory() const {
    return dialog_->directory().absolutePath();
}

void SavePanel::beginWithCompletion(Completion completion) {
    if (completion_) {
        // Keeps "exactly once per begin" for the earlier begin. Its completion may destroy this panel.
        const QPointer<SavePanel> alive(this);
        complete(Response::cancel, {});
        if (!alive)
            return;
    }
    completion_ = std::move(completion);
    // Going to the folder can clear the name field, so the name comes second.
    if (!directory_.isEmpty())
        dialog_->setDirectory(directory_);
    if (!name_.isEmpty())
        dialog_->selectFile(name_);
    dialog_->show();
}

bool SavePanel::isVisible() const {
    return dialog_->isVisible();
}

void SavePanel::orderFrontRegardless() {
    AppActivation::activateIgnoringOtherApps(dialog_.get());
}

QFileDialog* SavePanel::dialog() const {
    return dialog_.get();
}

void SavePanel::dialogFinished(int result) {
    if (!completion_)
        return;
    QString path;
    if (result == QDialog::Accepted)
        path = dialog_->withAllowedSuffix(dialog_->selectedFiles().value(0));
    complete(path.isEmpty() ? Response::cancel : Response::ok, path);
}

void SavePanel::complete(Response response, const QString& path) {
    Completion completion = std::move(completion_);
    completion_ = nullptr;
    const QPointer<SavePanel> alive(this);
    completing_ = true;
    completion(response, path);
    if (alive)
        completing_ = false;
}
