// Prints Bundle::main() as one JSON object on stdout.
#include "Bundle.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    const Bundle& bundle = Bundle::main();
    const QJsonObject description{{"bundlePath", bundle.bundlePath()},
                                  {"identifier", bundle.identifier()},
                                  {"executableName", bundle.executableName()},
                                  {"executablePath", bundle.executablePath()},
                                  {"resourcePath", bundle.resourcePath()}};
    std::fputs(QJsonDocument(description).toJson(QJsonDocument::Compact).constData(), stdout);
    return 0;
}
