// The real program against failing output and unusable inputs: every case ends with
// the exact error lines and a status that tells what happened; no run that lost output
// ends with status 0.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "driver/driverTestSupport.h"
#include "hardeningSupport.h"

namespace sensconv::hardening {
namespace {

// The 23 channel files of a recording with both boards, in the order the writer
// creates them.
const char* const channelFiles[] = {
    "BarPres", "compass", "visFreqLight", "ShtHumid", "IRLight", "AmbientLight", "BarTemp", "ShtTemp",
    "VisLight", "accel", "accelY", "accelZ", "accelMag", "gyro", "gyroY", "gyroZ",
    "gyroTemp", "gyroTempY", "gyroTempZ", "mag", "magY", "magZ",
};

std::string lostOutputEnd() {
    return "# ERROR: Some output could not be written, see the errors above\n"
           "# ERROR: Exiting\n";
}

TEST(faultInjectionTest, OutputBeyondAFileSizeLimitIsReportedOncePerFileAndEndsWithMinusOne) {
    scratchDirectory dir;
    recordingPlan plan = everyStream();
    plan.seconds = 30;  // 18,900 audio samples: a WAV file of about 37 KiB
    ASSERT_TRUE(recording(plan).writeFile(dir / "a.snsr"));
    // The session stays under its unfinished name, which the lines give.
    std::string part;
    const auto unfinished = [&part](const std::string& out) {
        const std::vector<std::string> left = testing_support::incompleteFolders(out, "part_00");
        part = left.size() == 1 ? left[0] + "/" : "";
        EXPECT_FALSE(fileExists(out + "/part_00"));
        return "# ERROR: Session  1 is incomplete, its output is in " + left.at(0) + "\n";
    };

    // Only the WAV file grows beyond 16 KiB; everything else is written whole.
    runOptions limited;
    limited.fileSizeLimit = 16384;
    programRun run = runProgram({"-outputdir", dir / "first", dir / "a.snsr"}, "", limited);
    EXPECT_EQ(run.status, 255);
    std::string incomplete = unfinished(dir / "first");
    EXPECT_EQ(run.problemLines(), "# ERROR: Unable to write output file " + part +
                                      "completeSensorAudio.wav (System error : File too large.)\n"
                                      "# ERROR: Unable to write output file " + part +
                                      "session.json (File too large)\n" + incomplete + lostOutputEnd())
        << run.err;
    EXPECT_TRUE(run.err.ends_with(lostOutputEnd()));
    EXPECT_EQ(fileSizeOf(part + "binaryData_accel.bin"), 300 * 4);
    EXPECT_EQ(fileSizeOf(part + "sirfGPSOutput.bin"), 300 * 24);
    EXPECT_NE(readWhole(part + "binaryData.meta").find("\"#FileEnd\",01\n"), std::string::npos);
    EXPECT_LE(fileSizeOf(part + "completeSensorAudio.wav"), 16384);

    // At 200 bytes almost every file fails: each is reported once, in the order its
    // first write failed, and the run still finishes every other file.
    limited.fileSizeLimit = 200;
    run = runProgram({"-outputdir", dir / "second", dir / "a.snsr"}, "", limited);
    EXPECT_EQ(run.status, 255);
    incomplete = unfinished(dir / "second");
    std::string expected = "# ERROR: Unable to write output file " + part + "sirfGPSOutput.bin (File too large)\n";
    for (const char* name : channelFiles) {
        expected += "# ERROR: Unable to write output file " + part + "binaryData_" + name + ".bin (File too large)\n";
    }
    expected += "# ERROR: Unable to write output file " + part + "binaryData.meta (File too large)\n";
    expected += "# ERROR: Unable to write output file " + part + "completeSensorAudio.wav (System error : File too large.)\n";
    expected += "# ERROR: Unable to write output file " + part + "session.json (File too large)\n";
    EXPECT_EQ(run.problemLines(), expected + incomplete + lostOutputEnd()) << run.err;
    EXPECT_EQ(readWhole(part + "binaryData_power.meta"),
              "\"NumSamples\",0\n\"SampleRate\",0.000000\n\"Name\",\"power\"\n\"DataType\",1\n");
    EXPECT_EQ(fileSizeOf(part + "images/00000029900.jpg"), 102);
}

// An output directory below a regular file cannot be created; the first output file of
// the session then cannot be created either and ends the run with that file's status.
TEST(faultInjectionTest, OutputDirectoryBelowARegularFileEndsTheRunAtTheFirstOutputFile) {
    scratchDirectory dir;
    std::ofstream(dir / "plain") << "not a directory";
    const std::string out = dir / "plain/out/";
    const std::string part = out + "part_00";
    const std::string notCreated = "# WARNING: Unable to create directory " + part + " (Not a directory)\n";

    ASSERT_TRUE(recording().writeFile(dir / "audio.snsr"));
    programRun run = runProgram({"-outputdir", out, dir / "audio.snsr"});
    EXPECT_EQ(run.status, 248);
    EXPECT_EQ(run.problemLines(), notCreated + "# ERROR: Unable to open the .wav file " + part +
                                      "/completeSensorAudio.wav\n"
                                      "# ERROR:  libsndfile: System error : Not a directory.\n"
                                      "# ERROR: Exiting\n");

    recordingPlan noAudio = everyStream();
    noAudio.micHz = 0;
    ASSERT_TRUE(recording(noAudio).writeFile(dir / "gps.snsr"));
    run = runProgram({"-outputdir", out, dir / "gps.snsr"});
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.problemLines(), notCreated +
                                      "# snsr_packetWriter: ERROR, unable to open sirfGPSOutput.bin\n"
                                      "# snsr_packetWriter: ERROR, Exiting\n");

    noAudio.gps = false;
    ASSERT_TRUE(recording(noAudio).writeFile(dir / "sensors.snsr"));
    run = runProgram({"-outputdir", out, dir / "sensors.snsr"});
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.problemLines(), notCreated + "# ERROR: Unable to open output file binaryData_BarPres.bin in directory " +
                                      part + "/, full path:\n"
                                      "# ERROR: " + part + "/binaryData_BarPres.bin\n"
                                      "# ERROR: Exiting\n");
    EXPECT_FALSE(fileExists(dir / "plain/out"));
}

// A directory, a dangling link and a named pipe, each named like a recording, next to a
// real one: screening drops them with one line each (a pipe has no size) and the
// recording is converted. Alone, they leave nothing to convert.
TEST(faultInjectionTest, UnreadableInputsAreScreenedOut) {
    scratchDirectory dir;
    ASSERT_TRUE(recording().writeFile(dir / "a.snsr"));
    ASSERT_EQ(::mkdir((dir / "d.snsr").c_str(), 0700), 0);
    ASSERT_EQ(::symlink("nowhere.snsr", (dir / "l.snsr").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "p.snsr").c_str(), 0600), 0);
    const std::string screened = "# INFO: File [  1]            Opened, \"" + (dir / "a.snsr") + "\"\n" +
                                 "# INFO: File [  2]   Unable to open!, \"" + (dir / "d.snsr") + "\"\n" +
                                 "# INFO: File [  3]   Unable to open!, \"" + (dir / "l.snsr") + "\"\n" +
                                 "# INFO: File [  4]        Too small!, \"" + (dir / "p.snsr") + "\"\n" +
                                 "\n# INFO: ------------------\n# INFO: Final file numbering (3 files removed)\n" +
                                 "# INFO: File [  1] \"" + (dir / "a.snsr") + "\"\n";

    runOptions quick;
    quick.timeoutSeconds = 30;
    programRun run = runProgram({dir / "p.snsr", dir / "l.snsr", dir / "d.snsr", dir / "a.snsr"}, "", quick);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find(screened), std::string::npos) << run.err;
    EXPECT_EQ(run.problemLines(), "");
    EXPECT_EQ(fileSizeOf(dir / "part_00/binaryData_accel.bin"), 40 * 4);

    run = runProgram({"-scandir", dir.path(), "-outputdir", dir / "scanned"}, "", quick);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("# INFO: Found   4 .snsr files in directory\n"), std::string::npos);
    EXPECT_NE(run.err.find(screened), std::string::npos) << run.err;
    EXPECT_EQ(fileSizeOf(dir / "scanned/part_00/binaryData_accel.bin"), 40 * 4);

    for (const char* name : {"d.snsr", "l.snsr", "p.snsr"}) {
        run = runProgram({dir / name}, "", quick);
        EXPECT_EQ(run.status, 254) << name;
        EXPECT_EQ(run.problemLines(), "# ERROR: There are no SNSR Files to parse\n# ERROR: Exiting\n") << name;
    }
}

}  // namespace
}  // namespace sensconv::hardening
