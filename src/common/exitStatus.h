#pragma once
// Every status the program ends with, named once. Several reasons share a value: the
// statuses are what scripts have always seen, and a reason's name says why a run
// ended, not which number it ends with.

namespace sensconv {

enum class exitStatus : int {
    success = 0,
    // A run that could not do its work: a file that cannot be read, created or
    // written, headers that disagree, output lost on the way to the disk.
    failed = -1,
    // The command line cannot be read as options.
    usage = -1,
    // A directory scan, or the segmentation after it, left no file to convert.
    scanFoundNothing = -1,
    // The screening left no file to convert or describe.
    noFiles = -2,
    // An option's value is out of its range.
    badArgument = -3,
    // A gap in a channel is larger than may be filled in.
    gapTooLarge = -3,
    // The WAV file cannot be opened.
    audioNotOpened = -8,
    // A board clock wrapped or moved backwards where it may not.
    clockInconsistent = -11,
    // The GPS record buffer cannot be allocated.
    noGpsBuffer = -12,
};

// The number the process ends with.
constexpr int processStatus(exitStatus status) {
    return static_cast<int>(status);
}

}  // namespace sensconv
