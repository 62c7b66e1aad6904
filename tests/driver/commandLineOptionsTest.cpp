#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/commandLineOptions.h"

namespace sensconv {
namespace {

struct parseResult {
    int status = 0;
    std::string messages;
    commandLineOptions options;
    std::vector<std::string> files;
};

parseResult parse(const std::vector<std::string>& arguments) {
    parseResult result;
    testing::internal::CaptureStderr();
    result.status = processStatus(parseCommandLine(arguments, result.options, result.files));
    result.messages = testing::internal::GetCapturedStderr();
    return result;
}

TEST(commandLineOptionsTest, NoArgumentsPrintsTheUsageAndEndsWithMinusOne) {
    const parseResult result = parse({});
    EXPECT_EQ(result.status, -1);
    EXPECT_EQ(result.messages,
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
}

TEST(commandLineOptionsTest, DefaultsHoldWhenOnlyFilesAreGiven) {
    const parseResult result = parse({"b.snsr", "a.snsr"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.messages, "");
    EXPECT_EQ(result.files, (std::vector<std::string>{"b.snsr", "a.snsr"}));
    EXPECT_EQ(result.options.outputdir, "./");
    EXPECT_FALSE(result.options.outputdirGiven);
    EXPECT_EQ(result.options.maxGap_sec, 60.0);
    EXPECT_FALSE(result.options.ignoreRollover || result.options.scanEnabled || result.options.writeTraceFiles ||
                 result.options.writeTraceLog);
    EXPECT_TRUE(result.options.writeImageSubDir);
}

TEST(commandLineOptionsTest, EveryOptionSetsItsFieldAndSaysSo) {
    const parseResult result = parse({"-outputdir", "out", "-NoWriteImageSubDir", "-writeTraceFiles", "x.snsr",
                                      "-writeTraceLog", "-maxGap_sec", "12.5", "-ignoreRollover", "-scandir",
                                      "/data/rec"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.messages,
              "# INFO: Data will be created in directory: out/\n"
              "# INFO: not writing images to 'images' sub directory\n"
              "# INFO: writing trace files during processing\n"
              "# INFO: writing trace log during processing\n"
              "# INFO: Max gap between files is 12.500000 seconds\n"
              "# INFO: Non-normal roll over events will be ignored\n"
              "# INFO: Scanning enabled for directory: /data/rec/\n"
              "# INFO: Command line specified .snsr files are ignored\n");
    const commandLineOptions& o = result.options;
    EXPECT_EQ(o.outputdir, "out/");
    EXPECT_TRUE(o.outputdirGiven);
    EXPECT_FALSE(o.writeImageSubDir);
    EXPECT_TRUE(o.writeTraceFiles && o.writeTraceLog && o.ignoreRollover && o.scanEnabled);
    EXPECT_EQ(o.maxGap_sec, 12.5);
    EXPECT_EQ(o.scandir, "/data/rec/");
    EXPECT_EQ(result.files, std::vector<std::string>{"x.snsr"});
}

TEST(commandLineOptionsTest, DirectoryValuesGetExactlyOneSeparator) {
    EXPECT_EQ(parse({"-outputdir", "out/"}).options.outputdir, "out/");
    EXPECT_EQ(parse({"-outputdir", "/"}).options.outputdir, "/");
    EXPECT_EQ(parse({"-scandir", "in//"}).options.scandir, "in//");
    // A backslash is an ordinary name character here.
    EXPECT_EQ(parse({"-outputdir", "out\\"}).options.outputdir, "out\\/");
}

TEST(commandLineOptionsTest, ValuesAreTakenWhateverTheyLookLikeAndTheLastOccurrenceWins) {
    const parseResult result = parse({"-outputdir", "-odd", "-maxGap_sec", "5", "-maxGap_sec", "-7.25"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.options.outputdir, "-odd/");
    EXPECT_EQ(result.options.maxGap_sec, -7.25);
    EXPECT_TRUE(result.files.empty());
}

// A value that is not a plain finite number would silently change the session plan
// ("nan" merges every file into one session): it stops the run, as a count of jobs
// with blanks or a sign does.
TEST(commandLineOptionsTest, GapAndJobsThatAreNoPlainNumbersEndWithMinusThree) {
    for (const std::string bad : {"soon", "90s", "nan", "-inf", "0x10", " 60", "60 ", "1e999", "."}) {
        const parseResult result = parse({"-writeTraceFiles", "-maxGap_sec", bad, "a.snsr"});
        EXPECT_EQ(result.status, -3) << bad;
        EXPECT_EQ(result.messages, "# INFO: writing trace files during processing\n"
                                   "# ERROR: Option -maxGap_sec takes a number of seconds, not " + bad + "\n"
                                   "# ERROR: Exiting\n");
        EXPECT_TRUE(result.files.empty());
    }
    for (const std::string good : {"60", "+7.5", "-3", "1e3", ".5"}) {
        const parseResult result = parse({"-maxGap_sec", good});
        EXPECT_EQ(result.status, 0) << good;
        EXPECT_EQ(result.options.maxGap_sec, std::stod(good));
    }
    for (const std::string bad : {" 2", "+2", "2 ", "0", "257"}) {
        const parseResult result = parse({"-jobs", bad});
        EXPECT_EQ(result.status, -3) << bad;
        EXPECT_EQ(result.messages, "# ERROR: Option -jobs takes a number of sessions from 1 to 256, not " + bad +
                                       "\n# ERROR: Exiting\n");
    }
    EXPECT_EQ(parse({"-jobs", "256"}).options.jobs, 256);
}

TEST(commandLineOptionsTest, JsonWithoutInfoIsNamed) {
    EXPECT_EQ(parse({"-json", "a.snsr"}).messages, "# WARNING: -json has no effect without -info\n");
    EXPECT_EQ(parse({"-json", "-info", "a.snsr"}).messages, "");
}

TEST(commandLineOptionsTest, UnknownOptionsEndWithMinusThreeAfterTheEarlierLines) {
    for (const std::string bad : {"-", "-help", "--outputdir", "-OutputDir"}) {
        const parseResult result = parse({"-ignoreRollover", "a.snsr", bad, "-writeTraceLog"});
        EXPECT_EQ(result.status, -3) << bad;
        EXPECT_EQ(result.messages, "# INFO: Non-normal roll over events will be ignored\n"
                                   "# ERROR: Unrecognized command argument, " + bad + "\n"
                                   "# ERROR: Exiting\n");
        EXPECT_FALSE(result.options.writeTraceLog) << "parsing stops at " << bad;
    }
}

TEST(commandLineOptionsTest, ValueOptionsWithoutValueEndWithMinusThree) {
    for (const std::string option : {"-outputdir", "-scandir", "-maxGap_sec"}) {
        const parseResult last = parse({"-writeTraceFiles", option});
        EXPECT_EQ(last.status, -3);
        EXPECT_EQ(last.messages, "# INFO: writing trace files during processing\n"
                                 "# ERROR: Option " + option + " requires a value\n"
                                 "# ERROR: Exiting\n");
        const parseResult empty = parse({option, "", "a.snsr"});
        EXPECT_EQ(empty.status, -3);
        EXPECT_EQ(empty.messages, "# ERROR: Option " + option + " requires a value\n# ERROR: Exiting\n");
        EXPECT_TRUE(empty.files.empty());
    }
}

std::string inferred(commandLineOptions options, const std::vector<std::string>& files, std::string& messages) {
    testing::internal::CaptureStderr();
    inferOutputDirectory(options, files);
    messages = testing::internal::GetCapturedStderr();
    return options.outputdir;
}

TEST(commandLineOptionsTest, OutputDirectoryIsInferredFromTheFirstFileAsGiven) {
    std::string messages;
    EXPECT_EQ(inferred({}, {"/rec/day1/z.snsr", "/other/a.snsr"}, messages), "/rec/day1/");
    EXPECT_EQ(messages, "# INFO: Data will be created in directory: /rec/day1/\n");
    EXPECT_EQ(inferred({}, {"C:\\data/x.snsr"}, messages), "C:\\data/");
    EXPECT_EQ(inferred({}, {"x.snsr"}, messages), "./");
    EXPECT_EQ(messages, "# INFO: Data will be created in directory: ./\n");

    commandLineOptions given;
    given.outputdir = "out/";
    given.outputdirGiven = true;
    EXPECT_EQ(inferred(given, {"/rec/x.snsr"}, messages), "out/");
    EXPECT_EQ(messages, "# INFO: Data will be created in directory: out/\n");

    EXPECT_EQ(inferred({}, {}, messages), "./");
    EXPECT_EQ(messages, "");
}

}  // namespace
}  // namespace sensconv
