#pragma once
// How the wearer holds the recorder while at rest: standing, sitting, reclining, lying
// on the back, the front or either side, and the recorder put down upside down. At
// rest the accelerometer feels gravity alone: a unit vector along the recorder's axes
// (x forward, y left, z up), the reaction to gravity, so +z when upright.

#include <array>

#include "snsrsim/randomSource.h"

namespace snsrsim {

using gravityVector = std::array<double, 3>;

// Upright with a slight lean back: the first rest of a session, and every rest of a
// wearer who keeps one orientation.
gravityVector uprightGravity();

// One rest's orientation, drawn from the postures of a day; each is tilted by a few
// degrees so that no two rests are quite alike.
gravityVector restGravity(randomSource& random);

}  // namespace snsrsim
