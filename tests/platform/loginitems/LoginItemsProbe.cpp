// loginitems_probe <identifier> on|off: LoginItems::setEnabled, printing "true" or "false".
#include "LoginItems.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    if (argc != 3 || (std::strcmp(argv[2], "on") != 0 && std::strcmp(argv[2], "off") != 0)) {
        std::fprintf(stderr, "usage: loginitems_probe <identifier> on|off\n");
        return 2;
    }
    const bool done = LoginItems::setEnabled(QString::fromUtf8(argv[1]), std::strcmp(argv[2], "on") == 0);
    std::printf("%s\n", done ? "true" : "false");
    return 0;
}
