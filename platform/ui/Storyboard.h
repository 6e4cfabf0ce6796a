#pragma once

#include "Log.h"
#include "ViewController.h"

#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <string>

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
    // A new controller of class T for its scene, T::identifier (the class's name); null, said in the log,
    // when the scene is unknown or makes another kind of controller.
    template <typename T> std::unique_ptr<T> instantiate() const {
        std::unique_ptr<ViewController> made = instantiateController(QString::fromLatin1(T::identifier));
        if (auto* controller = dynamic_cast<T*>(made.get())) {
            made.release();
            return std::unique_ptr<T>(controller);
        }
        Log::write(std::string("Error: ") + T::identifier + ": Error creating view controller.");
        return nullptr;
    }

private:
    explicit Storyboard(QString name);

    QString name_;
    std::map<QString, Factory> factories_;
};
