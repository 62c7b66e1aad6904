#include "snsrsim/accelErrors.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "snsrsim/simFile.h"

namespace snsrsim {

double accelErrors::measured(int axis, double g, double temperatureC) const {
    const auto k = static_cast<size_t>(axis);
    return settings_.offsetMg[k] / 1000.0 + (1.0 + settings_.gainErrorPercent[k] / 100.0) * g +
           settings_.temperatureCoefficientMgPerC[k] / 1000.0 * (temperatureC - settings_.referenceTemperatureC);
}

sensconv::accelCalibration accelErrors::undoing() const {
    // reported = o + (1 + e) g + c (T - Tr), so g = (reported - o - c (T - Tr)) / (1 + e).
    sensconv::accelCalibration c;
    for (size_t k = 0; k < 3; ++k) {
        const double gain = 1.0 + settings_.gainErrorPercent[k] / 100.0;
        c.offsetG[k] = -settings_.offsetMg[k] / 1000.0 / gain;
        c.gain[k] = 1.0 / gain;
        c.temperatureCoefficientGPerC[k] = -settings_.temperatureCoefficientMgPerC[k] / 1000.0 / gain;
    }
    c.referenceTemperatureC = settings_.referenceTemperatureC;
    return c;
}

void accelErrors::writeTruth(const std::string& directory) const {
    const sensconv::accelCalibration c = undoing();
    simFile file(directory + "accelCalibration.csv");
    file.print("axis,offsetMg,gain,temperatureCoefficientMgPerC,referenceTemperatureC\n");
    const char* axes[] = {"x", "y", "z"};
    for (size_t k = 0; k < 3; ++k) {
        file.print("%s,%.17g,%.17g,%.17g,%.17g\n", axes[k], c.offsetG[k] * 1000.0, c.gain[k],
                   c.temperatureCoefficientGPerC[k] * 1000.0, c.referenceTemperatureC);
    }
    file.close();
}

bool parseTriple(const std::string& text, std::array<double, 3>& values) {
    const char* at = text.c_str();
    for (size_t k = 0; k < 3; ++k) {
        errno = 0;
        char* end = nullptr;
        const double value = std::strtod(at, &end);
        if (end == at || errno != 0 || !std::isfinite(value)) return false;
        values[k] = value;
        if (k < 2 && *end != ',') return false;
        at = end + 1;
        if (k == 2 && *end != '\0') return false;
    }
    return true;
}

}  // namespace snsrsim
