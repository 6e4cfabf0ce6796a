#pragma once

#include "ViewController.h"

#include <QString>

#include <functional>
#include <map>
#include <memory>

// Scenes by identifier, grouped under a storyboard name ("Main"). The application registers a factory for
// each scene at start-up (a scene's layout may come from a Qt Designer file compiled into the program);
// instantiating makes a fresh controller each time. Main thread only.
class Storyboard {
public:
    using Factory = std::function<std::unique_ptr<ViewController>()>;

    // The storyboard with this name, made empty on first use; lives until the program ends.
    static Storyboard& named(const QString& name);

    QString name() const { return name_; }

    // Registers (or replaces) the scene `identifier`. A factory may answer null.
    void registerController(const QString& identifier, Factory factory);
    bool hasController(const QString& identifier) const;
    // A new controller for the scene, or null when the scene is unknown or its factory answered none.
    std::unique_ptr<ViewController> instantiateController(const QString& identifier) const;

private:
    explicit Storyboard(QString name);

    QString name_;
    std::map<QString, Factory> factories_;
};
