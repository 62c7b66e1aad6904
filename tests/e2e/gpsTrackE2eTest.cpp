// The GPS track of simulated recordings against independent readers: gpsd's gpsdecode
// decodes the same receiver bytes (the records' payloads concatenated), gpsbabel reads
// gps.gpx back, and the clock check finds the error the simulator gave the recorder's
// clock.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <map>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "decode/sirfDecoder.h"
#include "e2e/roundTripSupport.h"

namespace sensconv::roundtrip {
namespace {

constexpr char gpsdecode[] = "/usr/bin/gpsdecode";
constexpr char gpsbabel[] = "/usr/bin/gpsbabel";
constexpr double metresPerDegree = 6371000.0 * 3.14159265358979 / 180.0;

bool installed(const char* program) {
    return ::access(program, X_OK) == 0;
}

struct csvRow {
    std::string utc;
    double lat = 0.0;
    double lon = 0.0;
    std::string source;
};

std::vector<csvRow> readCsv(const fs::path& path) {
    std::istringstream in(readText(path));
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "utc,session_ms,latitude_deg,longitude_deg,altitude_m,speed_mps,course_deg,fix_type,satellites,hdop,source");
    std::vector<csvRow> rows;
    while (std::getline(in, line)) {
        std::vector<std::string> cells;
        std::istringstream fields(line);
        for (std::string cell; std::getline(fields, cell, ',');) cells.push_back(cell);
        if (line.back() == ',') cells.emplace_back();
        EXPECT_EQ(cells.size(), 11u) << line;
        if (cells.size() != 11) continue;
        rows.push_back({cells[0], std::stod(cells[2]), std::stod(cells[3]), cells[10]});
    }
    return rows;
}

// Milliseconds since 1970 of "YYYY-MM-DDTHH:MM:SS.mmmZ".
int64_t unixMsOfUtc(const std::string& text) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
    EXPECT_EQ(std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &year, &month, &day, &hour, &minute, &second, &ms), 7);
    const auto days = std::chrono::sys_days(std::chrono::year(year) / month / day).time_since_epoch().count();
    return ((static_cast<int64_t>(days) * 24 + hour) * 60 + minute) * 60000 + second * 1000 + ms;
}

// gpsdecode's fixes (reports with a 2-D or 3-D mode) for the session's receiver bytes.
std::vector<nlohmann::json> gpsdecodeFixes(const fs::path& part, const fs::path& scratch) {
    const std::vector<uint8_t> bytes = receiverBytes(readBytes(part / "sirfGPSOutput.bin"));
    const fs::path input = scratch / (part.parent_path().filename().string() + "-receiver.bin");
    std::ofstream(input, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
    testing_support::runOptions fromInput;
    fromInput.stdinPath = input.string();
    const toolRun run = runBinary(gpsdecode, {"-d", "-j"}, scratch.string(), fromInput);
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<nlohmann::json> fixes;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json report = nlohmann::json::parse(line, nullptr, false);
        if (report.is_object() && report.value("class", "") == "TPV" && report.value("mode", 0) >= 2)
            fixes.push_back(report);
    }
    return fixes;
}

// GPS week 1023 ended at 2019-04-06T23:59:42Z: message 2's week went from 1023 to 0.
constexpr int64_t rollover2019 = 1554595182000;

// Recordings of the same walk, converted: the receiver sending both navigation messages
// with the recorder's clock an hour and half a second ahead; sending message 2 only with
// a correct clock; and message 2 only across the week roll-over of April 2019.
class gpsTrackE2eTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new scratchDirectory;
        const fs::path root(dir_->path());
        for (const auto& [name, extra] :
             {std::pair<std::string, std::vector<std::string>>{"both", {"--clock-offset", "3600.5"}},
              {"measured", {"--gps-messages", "2"}},
              {"rollover", {"--gps-messages", "2", "--start-time", std::to_string(rollover2019 / 1000 - 120)}}}) {
            std::vector<std::string> arguments = {"--out", name, "--duration", "240", "--files", "2", "--seed", "7",
                                                  "--streams", "qor2,mic,gps", "--quiet"};
            arguments.insert(arguments.end(), extra.begin(), extra.end());
            ASSERT_EQ(runBinary(SNSRSIM_BINARY, arguments, root).status, 0);
            runs_[name] = runBinary(SENSCONV_BINARY, {"-scandir", name, "-outputdir", name + "-out"}, root);
            ASSERT_EQ(runs_[name].status, 0) << runs_[name].err;
        }
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static fs::path part(const std::string& name) { return fs::path(dir_->path()) / (name + "-out") / "part_00"; }
    static nlohmann::json session(const std::string& name) { return nlohmann::json::parse(readText(part(name) / "session.json")); }

    static scratchDirectory* dir_;
    static std::map<std::string, toolRun> runs_;
};

scratchDirectory* gpsTrackE2eTest::dir_ = nullptr;
std::map<std::string, toolRun> gpsTrackE2eTest::runs_;

TEST_F(gpsTrackE2eTest, Message41FixesAgreeWithGpsdecodeAndReadBackThroughGpsbabel) {
    const std::vector<csvRow> rows = readCsv(part("both") / "gps.csv");
    ASSERT_GT(rows.size(), 100u);
    EXPECT_EQ(session("both")["gps"]["fixes"], rows.size());
    if (!installed(gpsdecode)) {
        std::printf("gpsdecode is not installed (Debian gpsd-clients): comparison skipped\n");
    } else {
        // gpsd takes its positions from message 2's whole metres; message 41 is the
        // same point to 1e-7 degrees.
        const std::vector<nlohmann::json> fixes = gpsdecodeFixes(part("both"), dir_->path());
        ASSERT_EQ(fixes.size(), rows.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(rows[i].source, "41");
            EXPECT_EQ(rows[i].utc, fixes[i]["time"].get<std::string>()) << i;
            const double north = (rows[i].lat - fixes[i]["lat"].get<double>()) * metresPerDegree;
            const double east = (rows[i].lon - fixes[i]["lon"].get<double>()) * metresPerDegree * std::cos(rows[i].lat * 3.14159265358979 / 180.0);
            EXPECT_LE(std::hypot(north, east), 1.5) << rows[i].utc;
        }
    }
    if (!installed(gpsbabel)) {
        std::printf("gpsbabel is not installed: read-back skipped\n");
    } else {
        const toolRun back = runBinary(gpsbabel, {"-t", "-i", "gpx", "-f", (part("both") / "gps.gpx").string(), "-o", "unicsv", "-F", "-"}, dir_->path());
        ASSERT_EQ(back.status, 0) << back.err;
        EXPECT_EQ(std::count(back.out.begin(), back.out.end(), '\n'), static_cast<std::ptrdiff_t>(rows.size()) + 1);  // and a header
        EXPECT_NE(back.out.find(rows.front().utc.substr(11, 12)), std::string::npos);
    }
}

TEST_F(gpsTrackE2eTest, Message2FixesAgreeWithGpsdecodeToTheCentimetre) {
    const std::vector<csvRow> rows = readCsv(part("measured") / "gps.csv");
    ASSERT_GT(rows.size(), 100u);
    if (!installed(gpsdecode)) GTEST_SKIP() << "gpsdecode is not installed (Debian gpsd-clients)";
    const std::vector<nlohmann::json> fixes = gpsdecodeFixes(part("measured"), dir_->path());
    ASSERT_EQ(fixes.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].source, "2");
        EXPECT_EQ(rows[i].utc, fixes[i]["time"].get<std::string>()) << i;
        EXPECT_NEAR(rows[i].lat, fixes[i]["lat"].get<double>(), 1e-7) << rows[i].utc;
        EXPECT_NEAR(rows[i].lon, fixes[i]["lon"].get<double>(), 1e-7) << rows[i].utc;
    }
    // The height is not a column (gps.csv holds heights above sea level, which message 2
    // lacks): the decoder's own result against gpsd's height above the ellipsoid.
    struct heights final : sirfNavigationSink {
        std::vector<double> metres;
        void navigation(const gpsNavigation& m) override {
            if (m.fix) metres.push_back(m.heightEllipsoidM);
        }
    } sink;
    sirfDecoder decoder(sink);
    const std::vector<uint8_t> bytes = receiverBytes(readBytes(part("measured") / "sirfGPSOutput.bin"));
    decoder.feed(bytes, sirfRecordTag{});
    decoder.finish();
    ASSERT_EQ(sink.metres.size(), fixes.size());
    for (size_t i = 0; i < fixes.size(); ++i) EXPECT_NEAR(sink.metres[i], fixes[i]["altHAE"].get<double>(), 0.01) << i;
}

TEST_F(gpsTrackE2eTest, ClockCheckFindsTheRecordersErrorAndWarnsPerFile) {
    const nlohmann::json wrong = session("both");
    ASSERT_EQ(wrong["files"].size(), 2u);
    for (const nlohmann::json& file : wrong["files"]) {
        ASSERT_TRUE(file["clockCheck"].is_object()) << file["path"];
        EXPECT_GT(file["clockCheck"]["fixes"].get<int>(), 10);
        EXPECT_NEAR(file["clockCheck"]["medianOffsetMs"].get<double>(), -3600500.0, 10.0);
        const std::string line = "# WARNING: GPS clock check, " + file["path"].get<std::string>() +
                                 ": receiver UTC minus converter UTC is -3600.";
        EXPECT_EQ(countLines(runs_["both"].err, line), 1) << runs_["both"].err;
    }
    EXPECT_EQ(countLines(runs_["both"].err, "WARNING"), 2);

    const nlohmann::json right = session("measured");
    for (const nlohmann::json& file : right["files"]) {
        ASSERT_TRUE(file["clockCheck"].is_object());
        EXPECT_NEAR(file["clockCheck"]["medianOffsetMs"].get<double>(), 0.0, 10.0);
    }
    EXPECT_EQ(countLines(runs_["measured"].err, "WARNING"), 0) << runs_["measured"].err;
    EXPECT_EQ(right["gps"]["csv"], "gps.csv");
    EXPECT_EQ(right["gps"]["badChecksumFrames"], 0);
    EXPECT_EQ(right["gps"]["unknownMessages"], 0);
}

TEST_F(gpsTrackE2eTest, WeekRollOverOf2019KeepsTheTimeGoing) {
    // gpsd places these weeks 1024 weeks later; the files' start times tell the era.
    const std::vector<csvRow> rows = readCsv(part("rollover") / "gps.csv");
    ASSERT_GT(rows.size(), 100u);
    // The simulated receiver reports at 150 ms past each second of the session, one
    // report a second, all within the four minutes recorded.
    const int64_t start = rollover2019 - 120000;
    int64_t previous = start;
    for (const csvRow& row : rows) {
        const int64_t t = unixMsOfUtc(row.utc);
        EXPECT_EQ((t - start) % 1000, 150) << row.utc;
        EXPECT_GT(t, previous) << row.utc;
        EXPECT_LT(t, start + 240000) << row.utc;
        previous = t;
    }
    EXPECT_LT(unixMsOfUtc(rows.front().utc), rollover2019);
    EXPECT_GT(unixMsOfUtc(rows.back().utc), rollover2019);
    const nlohmann::json gps = session("rollover")["gps"];
    EXPECT_EQ(gps["fixes"], rows.size());
    EXPECT_EQ(gps["lastFix"]["unixMs"].get<int64_t>(), unixMsOfUtc(rows.back().utc));
}

}  // namespace
}  // namespace sensconv::roundtrip
