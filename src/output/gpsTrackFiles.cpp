#include "output/gpsTrackFiles.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/littleEndian.h"
#include "common/outputLayout.h"
#include "common/stdioFile.h"
#include "common/textFormat.h"
#include "common/userMessages.h"
#include "common/utcText.h"
#include "output/outputFile.h"
#include "output/outputMessages.h"
#include "platform/platform.h"

namespace sensconv {

namespace {

constexpr size_t recordHeadBytes = 20;
constexpr int64_t recordMaxBytes = 81920;  // the decoder's record buffer
constexpr size_t readBufferSize = 256 * 1024;
// Messages 2 and 41 of one navigation epoch carry the same GPS time; epochs are a
// second or more apart.
constexpr int64_t sameEpochMs = 500;
// Offsets kept per input file for the median; beyond this an even subsample.
constexpr size_t maxOffsetsKept = size_t{1} << 20;

constexpr char csvHeader[] =
    "utc,session_ms,latitude_deg,longitude_deg,altitude_m,speed_mps,course_deg,fix_type,satellites,hdop,source\n";
constexpr char gpxHead[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<gpx version=\"1.1\" creator=\"sensconv\" xmlns=\"http://www.topografix.com/GPX/1/1\""
    " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
    " xsi:schemaLocation=\"http://www.topografix.com/GPX/1/1 http://www.topografix.com/GPX/1/1/gpx.xsd\">\n"
    "  <trk>\n";
constexpr char gpxTail[] = "  </trk>\n</gpx>\n";

// Receiver UTC minus converter UTC over one input file: exact minimum and maximum; the
// median of every value up to a million fixes, then of an even subsample. One input
// file's values are held at a time.
class offsetStatistics {
public:
    void add(double offsetMs) {
        if (count_ == 0) min_ = max_ = offsetMs;
        min_ = std::min(min_, offsetMs);
        max_ = std::max(max_, offsetMs);
        if (count_++ % stride_ != 0) return;
        values_.push_back(offsetMs);
        if (values_.size() < maxOffsetsKept) return;
        for (size_t i = 0; i < values_.size() / 2; ++i) values_[i] = values_[2 * i];
        values_.resize(values_.size() / 2);
        stride_ *= 2;
    }

    std::optional<gpsClockCheck> result() {
        if (count_ == 0) return std::nullopt;
        const size_t half = values_.size() / 2;
        std::nth_element(values_.begin(), values_.begin() + static_cast<std::ptrdiff_t>(half), values_.end());
        double median = values_[half];
        if (values_.size() % 2 == 0) {
            median = (median + *std::max_element(values_.begin(), values_.begin() + static_cast<std::ptrdiff_t>(half))) / 2.0;
        }
        return gpsClockCheck{count_, median, min_, max_};
    }

private:
    std::vector<double> values_;
    int64_t count_ = 0;
    int64_t stride_ = 1;
    double min_ = 0.0;
    double max_ = 0.0;
};

const char* gpxFix(int32_t fixType) {
    switch (fixType) {
        case 4:
        case 6:
            return "3d";
        case 1:
        case 2:
        case 3:
        case 5:
            return "2d";
        default:
            return nullptr;  // dead reckoning: no satellite fix
    }
}

// Builds the rows from the decoded messages, one per navigation epoch, and writes them.
class trackBuilder final : public sirfNavigationSink {
public:
    trackBuilder(std::string directory, runStatus& run, const recordUtcFunction& recordUtc, gpsSessionSummary& summary)
        : directory_(std::move(directory)), recordUtc_(recordUtc), summary_(summary), csv_(run), gpx_(run) {}

    void navigation(const gpsNavigation& m) override {
        if (m.message == 41) {
            // Message 41 replaces message 2 of the same epoch.
            if (pending_ && std::llabs(pending_->gpsMs - m.gpsMs) < sameEpochMs) pending_.reset();
            flushPending();
            lastGeodeticGpsMs_ = m.gpsMs;
            if (m.fix && m.altitudeMslM) geoidSeparationM_ = m.heightEllipsoidM - *m.altitudeMslM;
            if (m.fix) writeRow(m);
            return;
        }
        if (lastGeodeticGpsMs_ && std::llabs(*lastGeodeticGpsMs_ - m.gpsMs) < sameEpochMs) return;
        flushPending();
        pending_ = m;
    }

    void finish(bool anyFrame) {
        flushPending();
        if (anyFrame) open();
        if (!opened_) return;
        if (segmentOpen_) gpx_.print("    </trkseg>\n");
        gpx_.print("%s", gpxTail);
        csv_.close();
        gpx_.close();
        summary_.tracksWritten = true;
        closeClockCheck();
    }

private:
    void flushPending() {
        if (pending_ && pending_->fix) writeRow(*pending_);
        pending_.reset();
    }

    void create(outputFile& file, const char* name) {
        const std::string path = directory_ + name;
        if (!file.create(path)) {
            printMessage(outputMessages::unableToWrite, path.c_str(), std::strerror(errno));
            file.lostWithoutFile();
        }
    }

    void open() {
        if (opened_) return;
        opened_ = true;
        create(csv_, outputLayout::gpsTableFileName);
        create(gpx_, outputLayout::gpsTrackFileName);
        csv_.print("%s", csvHeader);
        gpx_.print("%s", gpxHead);
    }

    void writeRow(const gpsNavigation& m) {
        open();
        const std::string utc = utcText(m.utcMs);
        // Message 2 gives the height above the ellipsoid only: the receiver's own geoid
        // height from its latest message 41 turns it into one above sea level; without
        // one the altitude stays unknown. (+ 0.0 prints a negative zero as 0.)
        std::optional<double> altitudeMsl = m.altitudeMslM;
        if (!altitudeMsl && geoidSeparationM_) altitudeMsl = m.heightEllipsoidM - *geoidSeparationM_;
        row_.clear();
        row_ += utc;
        row_ += ',';
        appendInteger(row_, m.tag.sessionMs);
        row_ += ',';
        appendFixed(row_, m.latitudeDeg + 0.0, 7);
        row_ += ',';
        appendFixed(row_, m.longitudeDeg + 0.0, 7);
        row_ += ',';
        if (altitudeMsl) appendFixed(row_, *altitudeMsl + 0.0, 2);
        row_ += ',';
        appendFixed(row_, m.speedMps + 0.0, 2);
        row_ += ',';
        appendFixed(row_, m.courseDeg + 0.0, 2);
        row_ += ',';
        appendInteger(row_, m.fixType);
        row_ += ',';
        appendInteger(row_, m.satellites);
        row_ += ',';
        if (m.hdop) appendFixed(row_, *m.hdop, 1);
        row_ += ',';
        appendInteger(row_, m.message);
        row_ += '\n';
        csv_.printText(row_);

        if (lastFixMs_ && m.utcMs - *lastFixMs_ > gpsTrackFiles::segmentGapMs) {
            gpx_.print("    </trkseg>\n");
            segmentOpen_ = false;
        }
        if (!segmentOpen_) gpx_.print("    <trkseg>\n");
        segmentOpen_ = true;
        row_.assign("      <trkpt lat=\"");
        appendFixed(row_, m.latitudeDeg + 0.0, 7);
        row_ += "\" lon=\"";
        appendFixed(row_, m.longitudeDeg + 0.0, 7);
        row_ += "\">";
        if (altitudeMsl) {
            row_ += "<ele>";
            appendFixed(row_, *altitudeMsl + 0.0, 2);
            row_ += "</ele>";
        }
        row_ += "<time>" + utc + "</time>";
        if (altitudeMsl) {
            row_ += "<geoidheight>";
            appendFixed(row_, m.heightEllipsoidM - *altitudeMsl + 0.0, 2);
            row_ += "</geoidheight>";
        }
        if (const char* fix = gpxFix(m.fixType)) {
            row_ += "<fix>";
            row_ += fix;
            row_ += "</fix>";
        }
        row_ += "<sat>";
        appendInteger(row_, m.satellites);
        row_ += "</sat>";
        if (m.hdop) {
            row_ += "<hdop>";
            appendFixed(row_, *m.hdop, 1);
            row_ += "</hdop>";
        }
        row_ += "</trkpt>\n";
        gpx_.printText(row_);

        ++summary_.fixes;
        if (!summary_.firstFixMs) summary_.firstFixMs = m.utcMs;
        summary_.lastFixMs = m.utcMs;
        lastFixMs_ = m.utcMs;

        if (recordUtc_ && m.tag.file >= 0 && static_cast<size_t>(m.tag.file) < summary_.clockChecks.size()) {
            if (const std::optional<double> converterMs = recordUtc_(m.tag.file, m.tag.sessionMs)) {
                // Rows come in file order: a file's check is done when the next file's first row comes.
                if (m.tag.file != offsetsFile_) closeClockCheck();
                offsetsFile_ = m.tag.file;
                offsets_.add(static_cast<double>(m.utcMs) - *converterMs);
            }
        }
    }

    void closeClockCheck() {
        if (offsetsFile_ >= 0) summary_.clockChecks[static_cast<size_t>(offsetsFile_)] = offsets_.result();
        offsets_ = offsetStatistics();
        offsetsFile_ = -1;
    }

    std::string directory_;
    const recordUtcFunction& recordUtc_;
    gpsSessionSummary& summary_;
    offsetStatistics offsets_;  // of the input file offsetsFile_
    int32_t offsetsFile_ = -1;
    outputFile csv_;
    outputFile gpx_;
    bool opened_ = false;
    bool segmentOpen_ = false;
    std::optional<gpsNavigation> pending_;
    std::optional<int64_t> lastGeodeticGpsMs_;
    std::optional<double> geoidSeparationM_;  // ellipsoid to sea level, from message 41
    std::optional<int64_t> lastFixMs_;
    std::string row_;  // the row being built, kept for its capacity
};

}  // namespace

gpsTrackFiles::gpsTrackFiles(std::string directory, runStatus& run) : directory_(std::move(directory)), run_(&run) {}

void gpsTrackFiles::fileDone(int64_t recordsSoFar) {
    fileEnds_.push_back(recordsSoFar);
}

gpsSessionSummary gpsTrackFiles::finish(const recordUtcFunction& recordUtc) {
    gpsSessionSummary summary;
    summary.clockChecks.resize(std::max<size_t>(fileEnds_.size(), 1));
    const stdioFile input(platform::openForReading(directory_ + outputLayout::gpsRecordsFileName));
    if (!input) return summary;

    trackBuilder builder(directory_, *run_, recordUtc, summary);
    sirfDecoder decoder(builder);
    // The records are taken from the file's bytes read in large pieces: bytes [begin,
    // end) of the buffer are read and not yet taken.
    std::vector<uint8_t> buffer(readBufferSize);
    size_t begin = 0;
    size_t end = 0;
    const auto available = [&](size_t wanted) {
        if (end - begin < wanted) {
            std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(begin), buffer.begin() + static_cast<std::ptrdiff_t>(end),
                      buffer.begin());
            end -= begin;
            begin = 0;
            while (end < wanted) {
                const size_t got = std::fread(buffer.data() + end, 1, buffer.size() - end, input.get());
                if (got == 0) break;
                end += got;
            }
        }
        return end - begin;
    };
    size_t file = 0;
    while (available(recordHeadBytes) >= recordHeadBytes) {
        const uint8_t* head = buffer.data() + begin;
        begin += recordHeadBytes;
        const int64_t record = summary.records++;
        while (file + 1 < fileEnds_.size() && record >= fileEnds_[file]) ++file;
        const auto sessionMs = static_cast<int32_t>(readLE32(head));
        const uint64_t fileStartMs = readLE64(head + 8);
        const auto length = static_cast<int32_t>(readLE32(head + 16));
        if (length < 0 || length > recordMaxBytes) break;  // not a record this program wrote
        decoder.setReferenceTime(fileStartMs <= static_cast<uint64_t>(INT64_MAX) ? static_cast<int64_t>(fileStartMs) : 0);
        const sirfRecordTag tag{record, sessionMs, static_cast<int32_t>(file)};
        size_t left = static_cast<size_t>(length);
        while (left > 0) {
            const size_t got = std::min(left, available(1));
            if (got == 0) break;
            decoder.feed(std::span<const uint8_t>(buffer.data() + begin, got), tag);
            begin += got;
            left -= got;
        }
        if (left > 0) break;
    }
    decoder.finish();
    summary.counters = decoder.counters();
    builder.finish(summary.counters.frames > 0);
    return summary;
}

}  // namespace sensconv
