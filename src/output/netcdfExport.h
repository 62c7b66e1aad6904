#pragma once
// The session as one NetCDF-4 file with CF-1.10 conventions (through the netCDF C
// library), for xarray, netCDF4-python, h5netcdf, MATLAB and R: <part>.nc.
//   - one time dimension per group of channels that share their sample times (a board
//     and a rate), "time_<board>_<rate>Hz", its coordinate int64 microseconds since
//     1970-01-01 UTC; the pauses between the input files are pauses in time;
//   - per channel a float32 variable of physical values in CF (UDUNITS) units
//     (acceleration in m s-2), and a byte flag variable "<name>_filled" (1 where the
//     converter filled in a lost sample), linked by ancillary_variables;
//   - GPS fixes on a dimension "gps_fix" of their own;
//   - the calibration and the boards' identities as global attributes.
// Chunks hold an hour of a channel (a day reads as 24 of them), compressed.
// The microphone is not in it: its 8 kHz samples are in the WAV file and the audio EDF.

#include <string>
#include <vector>

#include "output/sessionFolder.h"

namespace sensconv {

std::string exportNetcdf(const sessionFolder& folder, const std::string& outputDirectory,
                         std::vector<std::string>& written);

}  // namespace sensconv
