#pragma once

#include <QMainWindow>

// The window that announces the product's new brand: a titled window that can be closed and minimized but not
// resized, kept above normal windows, with the declarative view NewBrandWindowView.qml. It runs in the
// announcement helper (NewBrandWindowMain.cpp), which tells the program what the user does with it.
class NewBrandWindow : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int windowWidth = 500;
    static constexpr int windowHeight = 613;
    static constexpr const char* windowName = "New brand, same time travel";

    NewBrandWindow();
    ~NewBrandWindow() override;

    // Shows the window centred on the primary screen, raised and active.
    void present();

    // The view's button.
    Q_INVOKABLE void openProductWebPage();

signals:
    void productWebPageRequested();
    // The window accepted a close (its close button, the window manager's close).
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
};
