#include "snsrsim/postures.h"

#include <cmath>

namespace snsrsim {

namespace {

gravityVector normalized(double x, double y, double z) {
    const double norm = std::sqrt(x * x + y * y + z * z);
    return {x / norm, y / norm, z / norm};
}

struct posture {
    gravityVector gravity;
    double share;  // of the rests
};

// Lying on the back turns the forward axis up, on the front down; lying on the left
// side turns the left axis down, on the right side up.
const std::array<posture, 7> postures = {{
    {{0.15, 0.0, 0.98}, 0.30},    // standing, leaning back a little
    {{0.45, 0.05, 0.89}, 0.20},   // sitting back in a chair
    {{0.98, 0.0, 0.2}, 0.15},     // lying on the back
    {{-0.97, 0.05, 0.25}, 0.10},  // lying on the front
    {{0.1, -0.97, 0.2}, 0.10},    // lying on the left side
    {{0.1, 0.97, 0.2}, 0.10},     // lying on the right side
    {{0.05, 0.1, -0.99}, 0.05},   // the recorder laid upside down
}};

}  // namespace

gravityVector uprightGravity() {
    const gravityVector& g = postures[0].gravity;
    return normalized(g[0], g[1], g[2]);
}

gravityVector restGravity(randomSource& random) {
    double pick = random.uniform();
    const posture* chosen = &postures.back();
    for (const posture& p : postures) {
        if (pick < p.share) {
            chosen = &p;
            break;
        }
        pick -= p.share;
    }
    const gravityVector& g = chosen->gravity;
    constexpr double tilt = 0.08;  // about 5 degrees
    return normalized(g[0] + tilt * random.normal(), g[1] + tilt * random.normal(), g[2] + tilt * random.normal());
}

}  // namespace snsrsim
