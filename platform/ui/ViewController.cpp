#include "ViewController.h"

ViewController::ViewController(QObject* parent)
    : QObject(parent) {}

ViewController::~ViewController() {
    delete view_.data();
}

QWidget* ViewController::view() {
    if (!view_) {
        std::unique_ptr<QWidget> loaded = loadView();
        view_ = loaded ? loaded.release() : new QWidget;
        viewDidLoad();
    }
    return view_;
}

void ViewController::setView(std::unique_ptr<QWidget> view) {
    if (view.get() == view_.data()) {
        (void)view.release();
        return;
    }
    delete view_.data();
    view_ = view.release();
}

void ViewController::setTitle(const QString& title) {
    if (title_ == title)
        return;
    title_ = title;
    emit titleChanged(title_);
}

std::unique_ptr<QWidget> ViewController::loadView() {
    return std::make_unique<QWidget>();
}
