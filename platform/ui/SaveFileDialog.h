#pragma once

#include <QFileDialog>
#include <QStringList>

// The save dialog behind SavePanel: Qt's own (not the desktop's) so it behaves the same everywhere and
// tests can drive it. It adds an allowed suffix to the typed name before Qt checks for an existing file, so
// the overwrite confirmation is asked about the file that will really be written.
class SaveFileDialog : public QFileDialog {
    Q_OBJECT
public:
    explicit SaveFileDialog(QWidget* parent = nullptr);

    // Suffixes without the dot ("m4a"); the first one is added to a name that has none of them.
    void setAllowedSuffixes(const QStringList& suffixes);
    QStringList allowedSuffixes() const { return allowedSuffixes_; }
    bool hasAllowedSuffix(const QString& path) const;
    QString withAllowedSuffix(const QString& path) const;

public slots:
    void accept() override;

private:
    QStringList allowedSuffixes_;
};
