// Prints the converter's channel table as JSON, for the Python package: it reads
// python/sensconv/channel_table.json for folders that do not describe their channels
// themselves (written before session.json, or with its schema 1). The test
// python_channel_table fails when that file is not what this prints; regenerate it with
//   build/tools/channeltable > python/sensconv/channel_table.json

#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "decode/channelTable.h"

int main() {
    using sensconv::channelInfo;
    std::vector<std::string> rows;  // one channel a line, so that a change reads as one
    const auto add = [&rows](const channelInfo& info, const char* board) {
        const auto textOrNull = [](const char* text) {
            return text != nullptr ? nlohmann::ordered_json(text) : nlohmann::ordered_json(nullptr);
        };
        const nlohmann::ordered_json row = {{"name", info.shortName},
                                            {"longName", info.longName},
                                            {"board", board},
                                            {"unit", textOrNull(info.unit)},
                                            {"quantity", info.quantity},
                                            {"ucum", info.ucum},
                                            {"conversion", sensconv::conversionName(info.conversion)},
                                            {"uncalibrated", info.uncalibrated}};
        rows.push_back(row.dump());
    };
    for (const channelInfo& info : sensconv::qor2ChannelTable) add(info, "qor2");
    for (const channelInfo& info : sensconv::juxChannelTable) add(info, "jux");
    std::string text = "{\"generatedBy\": \"tools/channeltable from src/decode/channelTable.cpp; do not edit\",\n"
                       " \"channels\": [\n";
    for (size_t i = 0; i < rows.size(); ++i) text += "  " + rows[i] + (i + 1 < rows.size() ? ",\n" : "\n");
    text += "]}\n";
    return std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0 ? 0 : 1;
}
