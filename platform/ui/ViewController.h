#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <memory>

// Manages one view: makes it on first use (loadView) and hears when it comes on and goes off screen.
// The controller owns its view and deletes it with itself, even while the view sits in another window
// (a popover lends the view to its window and gives it back).
class ViewController : public QObject {
    Q_OBJECT
public:
    explicit ViewController(QObject* parent = nullptr);
    ~ViewController() override;

    // The view, made by loadView() and then viewDidLoad() on the first call.
    QWidget* view();
    bool isViewLoaded() const { return !view_.isNull(); }
    // Replaces the view (the old one is deleted) and takes ownership of the new one.
    void setView(std::unique_ptr<QWidget> view);

    QString title() const { return title_; }
    void setTitle(const QString& title);

    virtual void viewWillAppear() {}
    virtual void viewDidAppear() {}
    virtual void viewWillDisappear() {}
    virtual void viewDidDisappear() {}

signals:
    void titleChanged(const QString& title);

protected:
    // Makes the view; the default is an empty widget. Scenes from Qt Designer files call setupUi here.
    virtual std::unique_ptr<QWidget> loadView();
    // Runs once after the view was made.
    virtual void viewDidLoad() {}

private:
    QPointer<QWidget> view_;
    QString title_;
};
