#include "driver/runConversion.h"

int main(int argc, char** argv) {
    sensconv::takeTerminationRequests();
    return sensconv::runConversion(argc, argv);
}
