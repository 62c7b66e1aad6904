// The program's command line as a user meets it: usage, bad options, missing values.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/e2eSupport.h"

namespace sensconv {
namespace {

using namespace testing_support;

bool isEmptyDirectory(const std::string& dir) {
    return std::filesystem::is_empty(dir);
}

TEST(commandLineE2eTest, HelpAndVersionGoToStandardOutputWithStatusZero) {
    scratchDirectory dir;
    const programRun usage = runProgram({}, dir.path());
    for (const char* option : {"-h", "--help"}) {
        const programRun help = runProgram({option}, dir.path());
        EXPECT_EQ(help.status, 0) << option;
        EXPECT_EQ(help.err, "") << option;
        // The usage of a run without arguments, then the options that only inform.
        EXPECT_TRUE(help.out.starts_with(usage.err)) << help.out;
        EXPECT_NE(help.out.find("   [-info]\n"), std::string::npos) << help.out;
    }
    const programRun version = runProgram({"--version"}, dir.path());
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(version.out.starts_with("sensconv ") && version.out.ends_with("\n") &&
                version.out.find_first_of("0123456789") == 9)
        << version.out;
    EXPECT_TRUE(isEmptyDirectory(dir.path()));
}

TEST(commandLineE2eTest, NoArgumentsShowTheUsageAndEndWithMinusOne) {
    scratchDirectory dir;
    const programRun run = runProgram({}, dir.path());
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.err,
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
              "       Scan the directory for .snsr files to process, arrange them into sessions and convert the "
              "data\n");
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(isEmptyDirectory(dir.path()));
}

// Parsing stops at the first option it does not know (the options behind it are
// not taken), before any file is touched.
TEST(commandLineE2eTest, UnknownOptionEndsWithMinusThreeBeforeAnyFileIsTouched) {
    scratchDirectory dir;
    writeRecording(dir / "a.snsr");
    for (const std::string bad : {"-outputDir", "-", "-help", "--outputdir", "-OutputDir"}) {
        const programRun run =
            runProgram({"-writeTraceLog", "-writeTraceFiles", "a.snsr", bad, "-ignoreRollover", "-outputdir"}, dir.path());
        EXPECT_EQ(run.status, 253) << bad;
        EXPECT_EQ(run.err,
                  "# INFO: writing trace log during processing\n"
                  "# INFO: writing trace files during processing\n"
                  "# ERROR: Unrecognized command argument, " + bad + "\n"
                  "# ERROR: Exiting\n");
        EXPECT_EQ(run.out, "") << bad;
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(commandLineE2eTest, MissingEmptyOrUnusableValuesEndWithMinusThree) {
    scratchDirectory dir;
    writeRecording(dir / "a.snsr");
    for (const std::string option : {"-outputdir", "-scandir", "-maxGap_sec"}) {
        programRun run = runProgram({"a.snsr", "-writeTraceLog", option}, dir.path());
        EXPECT_EQ(run.status, 253) << option;
        EXPECT_EQ(run.err,
                  "# INFO: writing trace log during processing\n"
                  "# ERROR: Option " + option + " requires a value\n"
                  "# ERROR: Exiting\n");
        run = runProgram({option, "", "a.snsr"}, dir.path());
        EXPECT_EQ(run.status, 253) << option;
        EXPECT_EQ(run.err, "# ERROR: Option " + option + " requires a value\n# ERROR: Exiting\n");
    }
    // A gap that is not a plain finite number would silently change the session plan
    // ("nan" merges every file into one session): it stops the run.
    for (const std::string bad : {"soon", "90s", "nan", "-inf", "0x10", " 60", "60 ", "1e999", "."}) {
        const programRun run = runProgram({"-writeTraceFiles", "-maxGap_sec", bad, "a.snsr"}, dir.path());
        EXPECT_EQ(run.status, 253) << bad;
        EXPECT_EQ(run.err, "# INFO: writing trace files during processing\n"
                           "# ERROR: Option -maxGap_sec takes a number of seconds, not " + bad + "\n"
                           "# ERROR: Exiting\n");
    }
    // -jobs takes a count of sessions, nothing else: no blanks, no sign.
    for (const std::string jobs : {"0", "-2", "+2", " 2", "2 ", "2x", "257", "99999999999999999999"}) {
        const programRun run = runProgram({"-jobs", jobs, "a.snsr"}, dir.path());
        EXPECT_EQ(run.status, 253) << jobs;
        EXPECT_EQ(run.err, "# ERROR: Option -jobs takes a number of sessions from 1 to 256, not " + jobs +
                               "\n# ERROR: Exiting\n");
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(commandLineE2eTest, OptionsWithoutFilesEndWithMinusTwo) {
    scratchDirectory dir;
    const programRun run = runProgram({"-maxGap_sec", "10"}, dir.path());
    EXPECT_EQ(run.status, 254);
    EXPECT_EQ(run.err,
              "# INFO: Max gap between files is 10.000000 seconds\n"
              "\n# INFO: ------------------\n"
              "# INFO: Scanning files to remove obviously bad files\n"
              "# ERROR: There are no SNSR Files to parse\n"
              "# ERROR: Exiting\n");
}

TEST(commandLineE2eTest, MissingFileIsScreenedOut) {
    scratchDirectory dir;
    const programRun run = runProgram({"gone.snsr"}, dir.path());
    EXPECT_EQ(run.status, 254);
    EXPECT_EQ(run.err,
              "# INFO: Data will be created in directory: ./\n"
              "\n# INFO: ------------------\n"
              "# INFO: Scanning files to remove obviously bad files\n"
              "# INFO: File [  1]   Unable to open!, \"gone.snsr\"\n"
              "\n# INFO: ------------------\n"
              "# INFO: Final file numbering (1 files removed)\n"
              "# ERROR: There are no SNSR Files to parse\n"
              "# ERROR: Exiting\n");
    EXPECT_TRUE(isEmptyDirectory(dir.path()));
}

// A scan that finds nothing to convert ends the run before any session, with the
// lines of the step that found nothing last; conversion and description alike.
TEST(commandLineE2eTest, ScanThatLeavesNoFileEndsWithMinusOne) {
    scratchDirectory dir;
    std::filesystem::create_directories(dir / "empty");
    std::filesystem::create_directories(dir / "bad");
    std::ofstream(dir / "bad/x.snsr") << std::string(2000, 'x');
    const std::string scanIntro =
        "# INFO: Scanning enabled for directory: empty/\n"
        "# INFO: Command line specified .snsr files are ignored\n"
        "# INFO: Scanning directory for .snsr files\n"
        "# INFO: Found   0 .snsr files in directory\n"
        "# ERROR: No .snsr files found in this directory or we are unable to list the files\n"
        "# ERROR: To obtain a directory listing read permission to the directory is required\n"
        "# ERROR: Exiting\n";
    for (const bool info : {false, true}) {
        std::vector<std::string> arguments = {"-scandir", "empty/"};
        if (info) arguments.insert(arguments.begin(), "-info");
        const programRun run = runProgram(arguments, dir.path());
        EXPECT_EQ(run.status, 255) << info;
        EXPECT_EQ(run.err, scanIntro) << info;
        EXPECT_EQ(run.out, "") << info;
    }

    const programRun rejected = runProgram({"-scandir", "bad/"}, dir.path());
    EXPECT_EQ(rejected.status, 255);
    EXPECT_EQ(rejected.err,
              "# INFO: Scanning enabled for directory: bad/\n"
              "# INFO: Command line specified .snsr files are ignored\n"
              "# INFO: Scanning directory for .snsr files\n"
              "# INFO: Found   1 .snsr files in directory\n"
              "\n"
              "# INFO: ------------------\n"
              "# INFO: Scanning files to remove obviously bad files\n"
              "# INFO: File [  1]            Opened, \"bad/x.snsr\"\n"
              "\n"
              "# INFO: ------------------\n"
              "# INFO: Scanning .snsr files to determine their segmentation\n"
              "# snsr_packetReader: ERROR, snsr file does not contain a valid SNSR header\n"
              "# INFO: Scanning   1 of   1, \"bad/x.snsr\"\n"
              "# INFO: Rejecting file   1, SNSR file error\n"
              "# ERROR: No remaining SNSR files to process\n"
              "# ERROR: Exiting\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "bad/part_00"));
}

}  // namespace
}  // namespace sensconv
