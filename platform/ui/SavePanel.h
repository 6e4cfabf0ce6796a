#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QFileDialog;
class SaveFileDialog;

// Asks where to save a file, without blocking the rest of the application: a non-modal Qt file dialog.
// The completion of beginWithCompletion() runs exactly once: with ok and the chosen path (which always ends
// in an allowed type), or with cancel. Saving over an existing file asks for confirmation first; a refused
// confirmation leaves the dialog open. Beginning again while a completion is pending ends that one with
// cancel; so does destroying the panel. The completion may destroy the panel. Main thread only.
class SavePanel : public QObject {
    Q_OBJECT
public:
    enum class Response { ok, cancel };
    using Completion = std::function<void(Response response, QString path)>;

    explicit SavePanel(QObject* parent = nullptr);
    ~SavePanel() override;

    // Types as file-name suffixes without the dot ("m4a"): the dialog's filter, the suffix added to names
    // typed without one, and the suffix every chosen path ends in.
    void setAllowedFileTypes(const QStringList& types);
    QStringList allowedFileTypes() const;

    // Whether the user may hide the suffix; Qt's dialog always shows it, so this is only remembered.
    void setCanSelectHiddenExtension(bool canSelect) { canSelectHiddenExtension_ = canSelect; }
    bool canSelectHiddenExtension() const { return canSelectHiddenExtension_; }

    // The file name proposed in (or since typed into) the name field.
    void setNameFieldStringValue(const QString& name);
    QString nameFieldStringValue() const;

    void setTitle(const QString& title);
    QString title() const;

    void setDirectory(const QString& path);
    QString directory() const;

    void beginWithCompletion(Completion completion);
    bool isVisible() const;

    // Brings the dialog to the front and gives it the keyboard, even while another application is active.
    void orderFrontRegardless();

    // The dialog itself, for tests (its name field is the QLineEdit "fileNameEdit").
    QFileDialog* dialog() const;

private:
    void dialogFinished(int result);
    void complete(Response response, const QString& path);

    std::unique_ptr<SaveFileDialog> dialog_;
    Completion completion_;
    QString name_;
    QString directory_;
    bool canSelectHiddenExtension_ = false;
    bool completing_ = false;
};
