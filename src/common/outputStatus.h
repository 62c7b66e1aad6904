#pragma once
// Run-wide record of lost output: any output file whose write, flush or close failed
// marks it, and the driver then ends the run with status -1 instead of 0.

namespace sensconv {

void markOutputLost();
bool outputWasLost();
// How often output was marked lost so far: tells whether a stretch of the run lost any.
unsigned outputLossCount();

}  // namespace sensconv
