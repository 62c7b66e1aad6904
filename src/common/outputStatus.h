#pragma once
// Run-wide record of lost output: any output file whose write, flush or close failed
// marks it, and the driver then ends the run with status -1 instead of 0.

namespace sensconv {

void markOutputLost();
bool outputWasLost();

}  // namespace sensconv
