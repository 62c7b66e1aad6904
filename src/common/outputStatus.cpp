#include "common/outputStatus.h"

namespace sensconv {

namespace {
bool lost = false;
}

void markOutputLost() {
    lost = true;
}

bool outputWasLost() {
    return lost;
}

}  // namespace sensconv
