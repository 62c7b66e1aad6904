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

// Plain numbers in any of their spellings are taken for their value; what is not a
// plain number stops the run (commandLineE2eTest).
TEST(commandLineOptionsTest, GapAndJobsTakePlainNumbers) {
    for (const std::string good : {"60", "+7.5", "-3", "1e3", ".5"}) {
        const parseResult result = parse({"-maxGap_sec", good});
        EXPECT_EQ(result.status, 0) << good;
        EXPECT_EQ(result.options.maxGap_sec, std::stod(good));
    }
    for (const int jobs : {1, 2, 256}) {
        const parseResult result = parse({"-jobs", std::to_string(jobs), "a.snsr"});
        EXPECT_EQ(result.status, 0) << jobs;
        EXPECT_EQ(result.options.jobs, jobs);
        EXPECT_EQ(result.files, std::vector<std::string>{"a.snsr"});
    }
}

TEST(commandLineOptionsTest, JsonWithoutInfoIsNamed) {
    EXPECT_EQ(parse({"-json", "a.snsr"}).messages, "# WARNING: -json has no effect without -info\n");
    EXPECT_EQ(parse({"-json", "-info", "a.snsr"}).messages, "");
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
