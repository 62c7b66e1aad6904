#include "common/outputStatus.h"

namespace sensconv {

namespace {
bool lost = false;
unsigned losses = 0;
}

void markOutputLost() {
    lost = true;
    ++losses;
}

unsigned outputLossCount() {
    return losses;
}

bool outputWasLost() {
    return lost;
}

}  // namespace sensconv
