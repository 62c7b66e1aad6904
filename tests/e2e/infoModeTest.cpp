// -info describes recordings without converting: the same numbers a conversion then
// reports in session.json, and not a single file or directory created.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "e2e/roundTripSupport.h"

namespace sensconv::roundtrip {
namespace {

using json = nlohmann::json;

// Every entry below root with its size and modification time.
std::map<std::string, std::pair<uintmax_t, fs::file_time_type>> treeOf(const fs::path& root) {
    std::map<std::string, std::pair<uintmax_t, fs::file_time_type>> tree;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        tree[entry.path().string()] = {entry.is_regular_file() ? entry.file_size() : 0, entry.last_write_time()};
    }
    return tree;
}

toolRun sensconv(const fs::path& dir, const std::vector<std::string>& arguments) {
    return runBinary(SENSCONV_BINARY, arguments, dir);
}

TEST(infoModeTest, DescribesTheRecordingAsTheConversionThenReportsItAndCreatesNothing) {
    scratchDirectory dir;
    const fs::path root(dir.path());
    // The demo's recording: two sessions of two files, a little damage.
    ASSERT_EQ(runBinary(SNSRSIM_BINARY,
                        {"--out", "rec", "--quiet", "--sessions", "2", "--files", "2", "--duration", "90", "--gap", "300",
                        "--drop", "0.0005", "--bad-checksum", "0.0005", "--corrupt", "0.0005", "--bad-images", "1",
                        "--seed", "2024"},
                        root)
                  .status,
              0);
    const auto before = treeOf(root);
    const toolRun described = sensconv(root, {"-info", "-json", "-scandir", "rec"});
    ASSERT_EQ(described.status, 0) << described.err;
    const toolRun table = sensconv(root, {"-info", "-scandir", "rec"});
    ASSERT_EQ(table.status, 0) << table.err;
    EXPECT_EQ(treeOf(root), before);
    EXPECT_NE(table.out.find("part_01"), std::string::npos) << table.out;

    const json info = json::parse(described.out);
    EXPECT_EQ(info["status"], 0);
    ASSERT_EQ(info["files"].size(), 4u);
    ASSERT_EQ(info["sessions"].size(), 2u);

    ASSERT_EQ(sensconv(root, {"-scandir", "rec", "-outputdir", "out"}).status, 0);
    for (const json& session : info["sessions"]) {
        const std::string part = session["part"];
        SCOPED_TRACE(part);
        testing_support::expectValidSessionSummaries({(root / "out" / part / "session.json").string()});
        const json summary = json::parse(readText(root / "out" / part / "session.json"));
        EXPECT_EQ(summary["start"], session["start"]);
        EXPECT_EQ(summary["end"], session["end"]);
        ASSERT_EQ(summary["files"].size(), session["files"].size());
        for (size_t k = 0; k < session["files"].size(); ++k) {
            const size_t index = session["files"][k].get<size_t>();
            const json& described = info["files"][index];
            const json& converted = summary["files"][k];
            // Every field of the converted file, as info mode gave it before. Apart
            // from what only a conversion can know: the images it cut out and checked,
            // and the recorder clock against the session's GPS track.
            for (const auto& [key, value] : converted.items()) {
                SCOPED_TRACE("file " + std::to_string(k) + ": " + key);
                if (key == "path") {
                    EXPECT_EQ(fs::path(described[key].get<std::string>()), fs::path(value.get<std::string>()));
                } else if (key == "index") {
                    EXPECT_EQ(value, k);  // the session's count; info mode counts the run's files
                    EXPECT_EQ(described[key], index);
                } else if (key == "decoder") {
                    json decoded = value;
                    EXPECT_TRUE(described[key]["images"].is_null());
                    decoded["images"] = nullptr;
                    EXPECT_EQ(described[key], decoded);
                } else if (key == "clockCheck") {
                    EXPECT_FALSE(described.contains(key));
                } else {
                    ASSERT_TRUE(described.contains(key));
                    EXPECT_EQ(described[key], value);
                }
            }
        }
    }
}

TEST(infoModeTest, EndsWithTheStatusesOfAConversion) {
    scratchDirectory dir;
    const fs::path root(dir.path());
    std::vector<uint8_t> damaged = {'S', 'N', 'S', 'R', 9, 0, 0, 0};
    damaged.resize(2048, 0x55);
    { std::ofstream(root / "bad.snsr", std::ios::binary).write(reinterpret_cast<const char*>(damaged.data()), 2048); }
    const auto before = treeOf(root);

    // No file to describe: still a document, which says why it is empty.
    const toolRun missing = sensconv(root, {"-info", "-json", "missing.snsr"});
    EXPECT_EQ(missing.status, 254);
    const json none = json::parse(missing.out);
    EXPECT_EQ(none["status"], -2);
    EXPECT_EQ(none["error"], "There are no SNSR Files to parse");
    EXPECT_TRUE(none["files"].empty());
    EXPECT_TRUE(none["sessions"].empty());
    EXPECT_EQ(sensconv(root, {"-info", "missing.snsr"}).out, "");
    // A name with an escape sequence and a carriage return cannot act on the terminal.
    fs::copy_file(root / "bad.snsr", root / "x\x1b[2J\ry.snsr");
    const toolRun table = sensconv(root, {"-info", "x\x1b[2J\ry.snsr"});
    EXPECT_NE(table.out.find("File 1: x\\x1B[2J\\x0Dy.snsr\n"), std::string::npos) << table.out;
    EXPECT_EQ(table.out.find_first_of("\x1b\r"), std::string::npos);
    fs::remove(root / "x\x1b[2J\ry.snsr");
    const toolRun unreadable = sensconv(root, {"-info", "-json", "bad.snsr"});
    EXPECT_EQ(unreadable.status, 255);
    const json info = json::parse(unreadable.out);
    EXPECT_EQ(info["status"], -1);
    EXPECT_EQ(info["files"][0]["readable"], false);
    EXPECT_NE(unreadable.err.find("# ERROR: packetReader was unable to process file bad.snsr\n"), std::string::npos)
        << unreadable.err;
    EXPECT_EQ(treeOf(root), before);
}

}  // namespace
}  // namespace sensconv::roundtrip
