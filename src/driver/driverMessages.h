#pragma once
// Every line the driver prints, in one place. The texts are fixed: operators and
// their scripts read them, so they never change wording or layout.

#include <cinttypes>

#include "common/outcome.h"

namespace sensconv::driverMessages {

// Command line
inline constexpr char usageText[] =
    "sensconv [-options] <input file(s)>\n"
    "   [-outputdir N]\n"
    "       Create all output in directory N rather than the inferred directory\n"
    "       (Default behavior is to figure out the path from the first input file)\n"
    "   [-maxGap_sec N]\n"
    "       Maximum gap in seconds between .snsr files of one session (default 60 seconds)\n"
    "   [-ignoreRollover]\n"
    "       Ignore roll over events that appear to be errors and continue\n"
    "   [-NoWriteImageSubDir]\n"
    "       Don't write images to 'images' sub directory in the target dir (default on)\n"
    "   [-writeTraceFiles]\n"
    "       Creates <filename>.processing files to SNSR which are open\n"
    "       this provides some feedback should the program crash (default off)\n"
    "   [-writeTraceLog]\n"
    "       Writes the csv file trace.log detailing which files have been processed\n"
    "       and where their output went (default off)\n"
    "\n"
    "   [-scandir N]\n"
    "       Scan the directory for .snsr files to process, arrange them into sessions and convert the data\n";
// Printed after the usage text by -h and --help only: the usage of a run without
// arguments stays as it always was.
inline constexpr char helpExtraText[] =
    "\n"
    "   [-info]\n"
    "       Describe the input files (or with -scandir the directory) and the sessions they\n"
    "       would form, without converting and without creating any file or directory\n"
    "   [-json]\n"
    "       With -info: print the description as one JSON document\n"
    "   [-jobs N]\n"
    "       Convert up to N sessions at once (default 1); messages and output are the same\n"
    "       as with one at a time\n"
    "   [-export FORMAT] <session folder(s)>\n"
    "       Export finished part_NN folders as FORMAT: edf (EDF+/BDF+ files), netcdf (one\n"
    "       NetCDF-4 file with CF conventions) or all; into each folder's export/ sub-folder,\n"
    "       or into -outputdir\n"
    "   [-epoch N]\n"
    "       Epochs of N seconds in each session's epochs.csv (default 60)\n"
    "   [-h | --help]\n"
    "       Print this text on standard output\n"
    "   [--version]\n"
    "       Print the program's version\n"
    "\n"
    "   Every part_NN folder also gets session.json: the UTC of every file and channel and,\n"
    "   per channel and input file, the time anchor (UTC = anchor + (index - anchor index) / rate)\n";
inline constexpr char versionLine[] = "sensconv %s\n";
inline constexpr char outputDirectory[] = "# INFO: Data will be created in directory: %s\n";
inline constexpr char noImageSubDir[] = "# INFO: not writing images to 'images' sub directory\n";
inline constexpr char traceFilesOn[] = "# INFO: writing trace files during processing\n";
inline constexpr char traceLogOn[] = "# INFO: writing trace log during processing\n";
inline constexpr char maxGap[] = "# INFO: Max gap between files is %f seconds\n";
inline constexpr char ignoreRollover[] = "# INFO: Non-normal roll over events will be ignored\n";
inline constexpr char scanEnabled[] = "# INFO: Scanning enabled for directory: %s\n";
inline constexpr char commandLineFilesIgnored[] = "# INFO: Command line specified .snsr files are ignored\n";
inline constexpr char unknownOption[] = "# ERROR: Unrecognized command argument, %s\n";
inline constexpr char missingValue[] = "# ERROR: Option %s requires a value\n";
inline constexpr char badJobs[] = "# ERROR: Option -jobs takes a number of sessions from 1 to %ld, not %s\n";
inline constexpr char badMaxGap[] = "# ERROR: Option -maxGap_sec takes a number of seconds, not %s\n";
inline constexpr char jsonWithoutInfo[] = "# WARNING: -json has no effect without -info\n";
inline constexpr char badEpoch[] = "# ERROR: Option -epoch takes a number of seconds from 1 to %ld, not %s\n";
inline constexpr const char* exiting = exitingLine;

// Directory scan and screening
inline constexpr char scanningDirectory[] = "# INFO: Scanning directory for .snsr files\n";
inline constexpr char foundFiles[] = "# INFO: Found %3d .snsr files in directory\n";
inline constexpr char noFilesFound[] =
    "# ERROR: No .snsr files found in this directory or we are unable to list the files\n";
inline constexpr char listingNeedsPermission[] =
    "# ERROR: To obtain a directory listing read permission to the directory is required\n";
inline constexpr char separatorLine[] = "# INFO: ------------------\n";
inline constexpr char screeningBanner[] = "# INFO: Scanning files to remove obviously bad files\n";
inline constexpr char screenedFile[] = "# INFO: File [%3d] %18s \"%s\"\n";
inline constexpr char screenUnopenable[] = "Unable to open!,";
inline constexpr char screenOpened[] = "Opened,";
inline constexpr char screenTooSmall[] = "Too small!,";
inline constexpr char finalNumbering[] = "# INFO: Final file numbering (%d files removed)\n";
inline constexpr char sameFileTwice[] = "# WARNING: \"%s\" is the same file as \"%s\", which is taken once\n";
inline constexpr char finalFile[] = "# INFO: File [%3d] \"%s\"\n";

// Session segmentation
inline constexpr char segmentationBanner[] = "# INFO: Scanning .snsr files to determine their segmentation\n";
inline constexpr char scanningFile[] = "# INFO: Scanning %3d of %3d, \"%s\"\n";
inline constexpr char rejectingFile[] = "# INFO: Rejecting file %3d, SNSR file error\n";
inline constexpr char noRemainingFiles[] = "# ERROR: No remaining SNSR files to process\n";
inline constexpr char emptyInfo[] = "# INFO:\n";
inline constexpr char sessionsFound[] =
    "# INFO: Scanning complete, %d sessions of data were found and will be processed\n";
inline constexpr char sessionHeading[] = "# INFO:  Session %2d:\n";
inline constexpr char fileStartsAt[] = "# INFO: [%3d] starts at ";
inline constexpr char fileDuration[] = " duration is %9.2f sec, %02.0f hours %02.0f mins %04.1f seconds\n";
inline constexpr char nameListing[] = "# INFO:";
inline constexpr char nameListingSession[] = "\n# INFO: Session %2d: ";
inline constexpr char nameListingFile[] = " \"%s\"";
inline constexpr char timestamp[] = "%02d.%02d.%lld %02d:%02d:%02d.%06d";
inline constexpr char unknownTimestamp[] = "??.??.???? ??:??:??.%06d";

// Header check
inline constexpr char comparingHeaders[] = "# INFO: Comparing file headers\n";
inline constexpr char firstFileUnreadable[] = "# ERROR: packetReader was unable to open .snsr file %s\n";
inline constexpr char otherFileUnreadable[] = "# ERROR: Unable to open .snsr file %s\n";
inline constexpr char headerFilePrefix[] = "# ERROR: File %3d ";
inline constexpr char headerFieldsDiffer[] = "%s SNSR Header's meta data fields are not equal!\n";
inline constexpr char headerNumStreams[] = "%s SNSR Header->num_streams %3d vs %3d\n";
inline constexpr char headerNumAtoms[] = "%s SNSR Header->num_atoms   %3d vs %3d\n";
inline constexpr char headerAtomsDiffer[] = "%s SNSR Header's meta data atoms are not equal\n";
inline constexpr char headerAtomsNull[] = "%s meta data atoms are NULL %s vs %s\n";
inline constexpr char headerAtomContext[] = "for snsr header meta data";
inline constexpr char streamNull[] = "%s SNSR Header->Stream %d is NULL %s vs %s\n";
inline constexpr char streamType[] = "%s SNSR Header->Stream %s type      %10s vs %10sd\n";
inline constexpr char streamId[] = "%s SNSR Header->Stream %s id        0x%08X vs 0x%08X\n";
inline constexpr char streamVer[] = "%s SNSR Header->Stream %s ver       %10d vs %10d\n";
inline constexpr char streamLen[] = "%s SNSR Header->Stream %s len       %10d vs %10d\n";
inline constexpr char streamNumAtoms[] = "%s SNSR Header->Stream %s num_atoms %10d vs %10d\n";
inline constexpr char streamActive[] = "%s SNSR Header->Stream %s _active   %10d vs %10d\n";
inline constexpr char streamAtomPrefix[] = "%s SNSR Header->Stream %s, atom %d";
inline constexpr char streamAtomNull[] = "%s SNSR Header->Stream %s meta atom %d is NULL %s vs %s\n";
inline constexpr char atomFieldsDifferMark[] = "%s meta data fields are not equal %s!\n";
inline constexpr char atomIdsDiffer[] =
    "%s meta data ID fields are not equal 0x%08X:'%c%c%c%c' vs 0x%08X:'%c%c%c%c'\n";
inline constexpr char atomTypesDiffer[] = "%s meta data type fields are not equal %c vs %c\n";
inline constexpr char atomDataNull[] = "%s unable to compare meta data fields, NULL data field %s\n";
inline constexpr char atomDataNullPointers[] = "%s meta data field is NULL %s vs %s\n";
inline constexpr char atomFieldsDiffer[] = "%s meta data fields are not equal %s\n";
inline constexpr char atomCharsDiffer[] = "%s meta data character field's are not equal %c vs %c\n";
inline constexpr char atomIntsDiffer[] = "%s meta data character field's are not equal %d vs %d\n";
inline constexpr char atomUnknownType[] = "%s unknown meta data type %s\n";

// Trace log
inline constexpr char traceLogPlace[] = "# INFO: Trace log output will be placed in:\n";
inline constexpr char traceLogDirectory[] = "# INFO:  %s\n";
inline constexpr char traceLogLine[] = "\"%s\",%d,\"%s\",\"%s\"\r\n";
inline constexpr char traceLogUnwritable[] = "# ERROR: Unable to create trace file %s\n";
inline constexpr char traceLogInTheWay[] = "# WARNING: Trace log %s is a link or not a plain file, going on without it\n";

// Conversion run
inline constexpr char noFilesToParse[] = "# ERROR: There are no SNSR Files to parse\n";
inline constexpr char changingOutputDirectory[] = "# INFO: Changing output directory to scan directory, %s\n";
inline constexpr char processingSession[] = "# INFO: Processing Session %2d of %2d\n";
inline constexpr char creatingOutputDirectory[] = "# INFO: Creating output directory:\n";
inline constexpr char quotedPath[] = "# INFO: \"%s\"\n";
inline constexpr char directoryNotCreated[] = "# WARNING: Unable to create directory %s (%s)\n";
inline constexpr char processingFile[] = "# INFO: Session %2d, Processing File %3d of %3d (total)\n";
// -info: what is set aside until the end of the description (the document's files,
// the sessions) could not be kept or read back.
inline constexpr char infoSpillFailed[] =
    "# ERROR: The description could not be kept until it was printed, the output is incomplete\n";
inline constexpr char fileNotProcessed[] = "# ERROR: packetReader was unable to process file %s\n";
inline constexpr char sessionCompleted[] = "# INFO: Session %2d of %2d completed\n";
// The receiver's UTC against the recorder's: file, median offset in seconds, fixes.
inline constexpr char activityNotComputed[] = "# WARNING: No wear time or epochs for this session (%s)\n";
inline constexpr char gpsClockOff[] =
    "# WARNING: GPS clock check, %s: receiver UTC minus converter UTC is %+.3f s (median of %lld fixes)\n";
inline constexpr char outputLost[] = "# ERROR: Some output could not be written, see the errors above\n";
inline constexpr char inputUnreadable[] = "# ERROR: Unable to read %s at offset %" PRId64 " (%s)\n";
inline constexpr char inputShrunk[] = "the file is shorter than the %" PRId64 " bytes it held when the run began";
inline constexpr char inputLost[] = "# ERROR: Some input could not be read completely, see the errors above\n";
inline constexpr char sessionIncomplete[] = "# ERROR: Session %2d is incomplete, its output is in %s\n";
inline constexpr char sessionCrashed[] = "# ERROR: The conversion of session %2d ended by signal %d (%s)\n";
inline constexpr char endedBySignal[] = "# ERROR: Stopped by signal %d (%s)\n";
inline constexpr char abandonedSession[] = "# WARNING: %s was left incomplete by an earlier run that was stopped\n";
inline constexpr char sessionNotMoved[] = "# ERROR: Unable to move %s to %s (%s)\n";
inline constexpr char sessionNotFlushed[] = "# ERROR: Unable to bring the session's output to the disk (%s)\n";
inline constexpr char replacedNotRemoved[] = "# WARNING: Unable to remove all of the replaced output in %s (%s)\n";
inline constexpr char earlierOutputKept[] = "# WARNING: %s is from an earlier run and was not replaced\n";

// Export of finished session folders (-export)
inline constexpr char exportBadFormat[] = "# ERROR: Option -export takes edf, netcdf or all, not %s\n";
inline constexpr char exportNoFolders[] = "# ERROR: There are no session folders to export\n";
inline constexpr char exportingFolder[] = "# INFO: Exporting %s as %s into %s\n";
inline constexpr char exportWritten[] = "# INFO: Wrote %s\n";
inline constexpr char exportNotSession[] = "# ERROR: %s is not a finished session folder: %s\n";
inline constexpr char exportFailed[] = "# ERROR: Unable to export %s as %s: %s\n";
inline constexpr char exportCollision[] = "# ERROR: Unable to export %s: the export %s* was already written by this run\n";

}  // namespace sensconv::driverMessages
