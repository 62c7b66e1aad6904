// snsrsim: writes simulated .snsr recordings (and, on request, the ground truth of
// their conversion) for trying, testing and measuring the converter.

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "snsrsim/sessionSimulator.h"
#include "snsrsim/simFile.h"
#include "snsrsim/simOptions.h"

int main(int argc, char** argv) {
    using namespace snsrsim;
    std::vector<std::string> args(argv + 1, argv + argc);
    simOptions options;
    std::string message;
    switch (parseOptions(args, options, message)) {
        case parseResult::help:
            std::fputs(helpText().c_str(), stdout);
            return 0;
        case parseResult::error:
            std::fprintf(stderr, "snsrsim: %s\n", message.c_str());
            return 2;
        case parseResult::run:
            break;
    }
    if (options.gapSec <= 60.0 && options.sessions > 1 && !options.quiet) {
        std::fprintf(stderr, "snsrsim: note: with a gap of 60 s or less the converter joins the sessions\n");
    }

    simFile::makeDirectory(options.outputDir);
    simFile listing;
    if (!options.truthDir.empty()) {
        simFile::makeDirectory(options.truthDir);
        listing.open(sensconv::platform::withTrailingSeparator(options.truthDir) + "recording.txt");
    }

    int64_t startMs = options.startTime * 1000;
    int64_t totalBytes = 0;
    int32_t totalFiles = 0;
    for (int32_t session = 0; session < options.sessions; ++session) {
        sessionSimulator simulator(options, session, startMs);
        const sessionResult result = simulator.run();
        for (const std::string& file : result.files) {
            if (listing.isOpen()) listing.print("\"%s\",%d\n", file.c_str(), session + 1);
        }
        totalBytes += result.bytes;
        totalFiles += static_cast<int32_t>(result.files.size());
        startMs = result.endMs + static_cast<int64_t>(std::llround(options.gapSec * 1000.0));
    }
    listing.close();
    if (!options.quiet) {
        std::printf("snsrsim: %d session%s, %d files, %.1f MB in %s (seed %llu)\n", options.sessions,
                    options.sessions == 1 ? "" : "s", totalFiles, static_cast<double>(totalBytes) / 1e6,
                    options.outputDir.c_str(), static_cast<unsigned long long>(options.seed));
        if (!options.truthDir.empty()) std::printf("snsrsim: ground truth in %s\n", options.truthDir.c_str());
    }
    return 0;
}
