#include "common/accelCalibrationFit.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/textFormat.h"

namespace sensconv {

namespace {

constexpr double notANumber = std::numeric_limits<double>::quiet_NaN();

// The inverse of a symmetric positive definite n x n matrix (n <= 3) by Gauss-Jordan
// elimination with partial pivoting; false when it is singular to working precision.
template <size_t n>
bool invert(std::array<std::array<double, n>, n> a, std::array<std::array<double, n>, n>& inverse) {
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < n; ++j) inverse[i][j] = i == j ? 1.0 : 0.0;
    }
    double scale = 0.0;
    for (size_t i = 0; i < n; ++i) scale = std::max(scale, std::fabs(a[i][i]));
    for (size_t col = 0; col < n; ++col) {
        size_t pivot = col;
        for (size_t row = col + 1; row < n; ++row) {
            if (std::fabs(a[row][col]) > std::fabs(a[pivot][col])) pivot = row;
        }
        if (!(std::fabs(a[pivot][col]) > scale * 1e-14)) return false;
        std::swap(a[pivot], a[col]);
        std::swap(inverse[pivot], inverse[col]);
        const double p = a[col][col];
        for (size_t j = 0; j < n; ++j) {
            a[col][j] /= p;
            inverse[col][j] /= p;
        }
        for (size_t row = 0; row < n; ++row) {
            if (row == col) continue;
            const double f = a[row][col];
            for (size_t j = 0; j < n; ++j) {
                a[row][j] -= f * a[col][j];
                inverse[row][j] -= f * inverse[col][j];
            }
        }
    }
    return true;
}

// Weighted least squares of y on the regressors [1, u, t] (or [1, u]), with the
// standard errors of the coefficients from the weighted residuals.
template <size_t n>
struct regression {
    std::array<std::array<double, n>, n> xtwx{};
    std::array<double, n> xtwy{};

    void add(const std::array<double, n>& x, double y, double w) {
        for (size_t i = 0; i < n; ++i) {
            xtwy[i] += w * x[i] * y;
            for (size_t j = 0; j < n; ++j) xtwx[i][j] += w * x[i] * x[j];
        }
    }
    bool solve(std::array<double, n>& beta, std::array<std::array<double, n>, n>& inverse) const {
        if (!invert<n>(xtwx, inverse)) return false;
        for (size_t i = 0; i < n; ++i) {
            beta[i] = 0.0;
            for (size_t j = 0; j < n; ++j) beta[i] += inverse[i][j] * xtwy[j];
        }
        return true;
    }
};

double distanceFromSphere(const std::array<double, 3>& a) {
    return std::fabs(std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]) - 1.0);
}

}  // namespace

accelCalibrationFit::accelCalibrationFit(double accelRateHz, const accelCalibrationSettings& settings)
    : settings_(settings),
      windowSamples_(std::max<int64_t>(2, std::llround(settings.windowSeconds * std::max(accelRateHz, 0.0)))) {
    still_.reserve(settings_.windowCapacity);
}

void accelCalibrationFit::feed(const accelColumns& samples) {
    const size_t n = samples.filled.size();
    const bool temperature = !samples.temperatureC.empty();
    // A window's share of the samples at a time, its sums in locals the compiler keeps in
    // registers; each sum still runs in sample order.
    for (size_t from = 0; from < n;) {
        const size_t to = from + static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(n - from),
                                                                       windowSamples_ - count_));
        double sumX = sum_[0], sumY = sum_[1], sumZ = sum_[2];
        double squaresX = sumSquares_[0], squaresY = sumSquares_[1], squaresZ = sumSquares_[2];
        double temperatureSum = temperatureSum_;
        bool temperatureMissing = temperatureMissing_ || !temperature;
        uint8_t filled = filled_ ? 1 : 0;
        for (size_t j = from; j < to; ++j) {
            const double ux = static_cast<double>(samples.x[j]) - nominalZeroG;
            const double uy = static_cast<double>(samples.y[j]) - nominalZeroG;
            const double uz = static_cast<double>(samples.z[j]) - nominalZeroG;
            sumX += ux;
            sumY += uy;
            sumZ += uz;
            squaresX += ux * ux;
            squaresY += uy * uy;
            squaresZ += uz * uz;
            filled |= samples.filled[j];
        }
        if (temperature) {
            for (size_t j = from; j < to; ++j) {
                const auto t = static_cast<double>(samples.temperatureC[j]);
                if (std::isfinite(t)) {
                    temperatureSum += t;
                } else {
                    temperatureMissing = true;
                }
            }
        }
        sum_ = {sumX, sumY, sumZ};
        sumSquares_ = {squaresX, squaresY, squaresZ};
        temperatureSum_ = temperatureSum;
        temperatureMissing_ = temperatureMissing;
        filled_ = filled != 0;
        report_.samples += static_cast<int64_t>(to - from);
        count_ += static_cast<int64_t>(to - from);
        if (count_ == windowSamples_) closeWindow();
        from = to;
    }
}

void accelCalibrationFit::closeWindow() {
    ++report_.windows;
    const auto n = static_cast<double>(count_);
    bool still = !filled_;
    window w{};
    for (size_t k = 0; k < 3 && still; ++k) {
        w.u[k] = sum_[k] / n;
        // The sample standard deviation (n - 1), as the method computes it.
        const double variance = std::max(0.0, (sumSquares_[k] - n * w.u[k] * w.u[k]) / (n - 1.0));
        still = std::sqrt(variance) < settings_.stillSdLimitG;
    }
    if (still) {
        w.temperatureC = temperatureMissing_ ? notANumber : temperatureSum_ / n;
        ++report_.stillWindows;
        keep(w);
    }
    count_ = 0;
    sum_ = {};
    sumSquares_ = {};
    temperatureSum_ = 0.0;
    temperatureMissing_ = false;
    filled_ = false;
}

void accelCalibrationFit::keep(const window& w) {
    if (++sinceKept_ < stride_) return;
    sinceKept_ = 0;
    if (still_.size() == settings_.windowCapacity) {
        // Full: every other window goes, and from now on only every other one comes in,
        // so the windows kept stay spread evenly over the whole recording.
        size_t to = 0;
        for (size_t from = 0; from < still_.size(); from += 2) still_[to++] = still_[from];
        still_.resize(to);
        stride_ *= 2;
        return;  // this window is an odd one of the new stride
    }
    still_.push_back(w);
    if (!std::isfinite(w.temperatureC)) anyTemperatureMissing_ = true;
}

void accelCalibrationFit::finish() {
    fit();
}

void accelCalibrationFit::fit() {
    accelCalibrationReport& r = report_;
    const size_t n = still_.size();
    r.windowsUsed = static_cast<int64_t>(n);
    r.coverageMinG = {notANumber, notANumber, notANumber};
    r.coverageMaxG = {notANumber, notANumber, notANumber};
    r.temperatureMinC = r.temperatureMaxC = notANumber;
    r.errorBeforeG = r.errorAfterG = notANumber;
    r.applied = accelCalibration{};
    if (n == 0) {
        r.reason = "no still windows";
        return;
    }
    double before = 0.0;
    double temperatureMean = 0.0;
    for (size_t k = 0; k < 3; ++k) {
        r.coverageMinG[k] = std::numeric_limits<double>::infinity();
        r.coverageMaxG[k] = -std::numeric_limits<double>::infinity();
    }
    r.temperatureMinC = std::numeric_limits<double>::infinity();
    r.temperatureMaxC = -std::numeric_limits<double>::infinity();
    for (const window& w : still_) {
        before += distanceFromSphere(w.u);
        for (size_t k = 0; k < 3; ++k) {
            r.coverageMinG[k] = std::min(r.coverageMinG[k], w.u[k]);
            r.coverageMaxG[k] = std::max(r.coverageMaxG[k], w.u[k]);
        }
        if (!anyTemperatureMissing_) {
            temperatureMean += w.temperatureC;
            r.temperatureMinC = std::min(r.temperatureMinC, w.temperatureC);
            r.temperatureMaxC = std::max(r.temperatureMaxC, w.temperatureC);
        }
    }
    r.errorBeforeG = before / static_cast<double>(n);
    if (anyTemperatureMissing_) {
        r.temperatureMinC = r.temperatureMaxC = notANumber;
    } else {
        temperatureMean /= static_cast<double>(n);
    }
    r.temperatureTerm = !anyTemperatureMissing_ && r.temperatureMaxC - r.temperatureMinC >= settings_.minTemperatureRangeC;
    if (static_cast<int64_t>(n) < settings_.minStillWindows) {
        r.reason = formatText("only %zu still windows (at least %lld needed)", n,
                              static_cast<long long>(settings_.minStillWindows));
        return;
    }

    accelCalibration p;
    p.referenceTemperatureC = anyTemperatureMissing_ ? 0.0 : temperatureMean;
    std::vector<double> weights(n, 1.0);
    double lastResidual = std::numeric_limits<double>::infinity();
    std::array<std::array<double, 3>, 3> uncertainty{};
    bool solved = true;
    const auto calibrated = [](const window& w, const accelCalibration& c) {
        std::array<double, 3> a{};
        for (size_t k = 0; k < 3; ++k) {
            const double t = std::isfinite(w.temperatureC) ? w.temperatureC : c.referenceTemperatureC;
            a[k] = c.apply(static_cast<int>(k), w.u[k] + nominalZeroG, t);
        }
        return a;
    };
    for (r.iterations = 1; r.iterations <= settings_.maxIterations && solved; ++r.iterations) {
        // The current calibration's vectors and their closest points on the sphere.
        std::array<regression<3>, 3> withTemperature{};
        std::array<regression<2>, 3> withoutTemperature{};
        std::vector<std::array<double, 3>> closest(n);
        for (size_t i = 0; i < n; ++i) {
            const std::array<double, 3> a = calibrated(still_[i], p);
            const double norm = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
            const double t = still_[i].temperatureC - p.referenceTemperatureC;
            for (size_t k = 0; k < 3; ++k) {
                closest[i][k] = norm > 0.0 ? a[k] / norm : 0.0;
                if (r.temperatureTerm) {
                    withTemperature[k].add({1.0, still_[i].u[k], t}, closest[i][k], weights[i]);
                } else {
                    withoutTemperature[k].add({1.0, still_[i].u[k]}, closest[i][k], weights[i]);
                }
            }
        }
        accelCalibration next = p;
        std::array<std::array<double, 3>, 3> inverses{};  // diagonal of (X'WX)^-1 per axis
        for (size_t k = 0; k < 3 && solved; ++k) {
            if (r.temperatureTerm) {
                std::array<double, 3> beta{};
                std::array<std::array<double, 3>, 3> inverse{};
                solved = withTemperature[k].solve(beta, inverse);
                next.offsetG[k] = beta[0];
                next.gain[k] = beta[1];
                next.temperatureCoefficientGPerC[k] = beta[2];
                inverses[k] = {inverse[0][0], inverse[1][1], inverse[2][2]};
            } else {
                std::array<double, 2> beta{};
                std::array<std::array<double, 2>, 2> inverse{};
                solved = withoutTemperature[k].solve(beta, inverse);
                next.offsetG[k] = beta[0];
                next.gain[k] = beta[1];
                next.temperatureCoefficientGPerC[k] = 0.0;
                inverses[k] = {inverse[0][0], inverse[1][1], 0.0};
            }
        }
        if (!solved) break;
        p = next;
        // Weighted mean square distance of the new fit from the projections, and the
        // weights for the next round.
        double residual = 0.0;
        double weightSum = 0.0;
        std::array<double, 3> squares{};
        for (size_t i = 0; i < n; ++i) {
            const std::array<double, 3> a = calibrated(still_[i], p);
            double distance2 = 0.0;
            for (size_t k = 0; k < 3; ++k) {
                const double d = a[k] - closest[i][k];
                distance2 += d * d;
                squares[k] += weights[i] * d * d;
            }
            residual += weights[i] * distance2;
            weightSum += weights[i];
            const double distance = std::sqrt(distance2);
            weights[i] = distance > 0.0 ? std::min(1.0 / distance, settings_.maxWeight) : settings_.maxWeight;
        }
        residual /= weightSum;
        const double parameters = r.temperatureTerm ? 3.0 : 2.0;
        for (size_t k = 0; k < 3; ++k) {
            const double sigma2 = squares[k] / (static_cast<double>(n) - parameters);
            for (size_t j = 0; j < 3; ++j) uncertainty[k][j] = std::sqrt(sigma2 * inverses[k][j]);
        }
        if (std::fabs(residual - lastResidual) < settings_.tolerance) {
            r.converged = true;
            break;
        }
        lastResidual = residual;
    }
    r.iterations = std::min(r.iterations, settings_.maxIterations);
    bool finite = solved;
    for (size_t k = 0; k < 3; ++k) {
        finite = finite && std::isfinite(p.offsetG[k]) && std::isfinite(p.gain[k]) &&
                 std::isfinite(p.temperatureCoefficientGPerC[k]);
    }
    if (!finite) {
        r.reason = "the fit has no unique solution (the still windows are too alike)";
        return;
    }
    r.fitted = true;
    r.fit = p;
    for (size_t k = 0; k < 3; ++k) {
        r.offsetUncertaintyG[k] = uncertainty[k][0];
        r.gainUncertainty[k] = uncertainty[k][1];
        r.temperatureCoefficientUncertaintyGPerC[k] = uncertainty[k][2];
    }
    double after = 0.0;
    for (const window& w : still_) after += distanceFromSphere(calibrated(w, p));
    r.errorAfterG = after / static_cast<double>(n);

    // The reason names the first condition that fails.
    const char* axes = "xyz";
    for (size_t k = 0; k < 3; ++k) {
        if (!(r.coverageMinG[k] < -settings_.coverageG && r.coverageMaxG[k] > settings_.coverageG)) {
            r.reason = formatText("the still windows do not cover the %c axis on both sides: %.3f g to %.3f g "
                                  "(below -%.1f g and above +%.1f g needed)",
                                  axes[k], r.coverageMinG[k], r.coverageMaxG[k], settings_.coverageG,
                                  settings_.coverageG);
            return;
        }
    }
    if (!r.converged) {
        r.reason = formatText("the fit did not converge in %d iterations", settings_.maxIterations);
        return;
    }
    if (!(r.errorAfterG < settings_.maxErrorAfterG)) {
        r.reason = formatText("the error after the fit is %.1f mg (below %.1f mg needed)", r.errorAfterG * 1000.0,
                              settings_.maxErrorAfterG * 1000.0);
        return;
    }
    if (!(r.errorAfterG < r.errorBeforeG)) {
        r.reason = formatText("the error after the fit (%.1f mg) is not below the error before (%.1f mg)",
                              r.errorAfterG * 1000.0, r.errorBeforeG * 1000.0);
        return;
    }
    r.accepted = true;
    r.reason.clear();
    r.applied = p;
}

}  // namespace sensconv
