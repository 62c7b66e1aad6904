#include "driver/runConversion.h"

namespace sensconv {

int runConversion(int, char**) {
    return 0;
}

}  // namespace sensconv
