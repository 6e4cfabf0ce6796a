#include "Resources.h"

#include <QtGlobal>

void Resources::initialize() {
    // Resources in a static library are only registered once their object file is linked in; referring to
    // this function pulls it in.
}
