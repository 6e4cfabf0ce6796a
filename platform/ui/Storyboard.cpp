#include "Storyboard.h"

#include "Log.h"

Storyboard::Storyboard(QString name)
    : name_(std::move(name)) {}

Storyboard& Storyboard::named(const QString& name) {
    static std::map<QString, std::unique_ptr<Storyboard>> storyboards;
    auto& storyboard = storyboards[name];
    if (!storyboard)
        storyboard.reset(new Storyboard(name));
    return *storyboard;
}

void Storyboard::registerController(const QString& identifier, Factory factory) {
    factories_[identifier] = std::move(factory);
}

bool Storyboard::hasController(const QString& identifier) const {
    const auto found = factories_.find(identifier);
    return found != factories_.end() && found->second;
}

std::unique_ptr<ViewController> Storyboard::instantiateController(const QString& identifier) const {
    const auto found = factories_.find(identifier);
    if (found == factories_.end() || !found->second) {
        Log::write("Storyboard " + name_.toStdString() + ": no scene \"" + identifier.toStdString() + "\"");
        return nullptr;
    }
    return found->second();
}
