#include "driver/runConversion.h"

int main(int argc, char** argv) {
    return sensconv::runConversion(argc, argv);
}
