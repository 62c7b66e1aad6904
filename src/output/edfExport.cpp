#include "output/edfExport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>

#include <edflib.h>
#include <sndfile.h>

#include "common/outputLayout.h"
#include "common/utcText.h"
#include "platform/platform.h"

namespace sensconv {

namespace {

// Which file of an input file a channel goes to. The main board's values (pressure in
// 1/32 hPa steps over a range of some 2000 hPa, calibrated acceleration, temperatures and
// illuminance from formulas) need more than EDF's 16 bits; the second board's are its
// own 16-bit words, and the microphone's samples are 16-bit.
enum class edfGroup { qor2, jux, audio };

struct groupLayout {
    const char* suffix;
    bool bdf;
};

groupLayout layoutOf(edfGroup group) {
    switch (group) {
        case edfGroup::qor2: return {outputLayout::edfMainBoardName, true};
        case edfGroup::jux: return {outputLayout::edfSecondBoardName, false};
        case edfGroup::audio: return {outputLayout::edfAudioName, false};
    }
    return {"", false};
}

edfGroup groupOf(const folderChannel& c) {
    if (c.isAudio()) return edfGroup::audio;
    return c.board == "qor2" ? edfGroup::qor2 : edfGroup::jux;
}

// EDFlib keeps its texts to these lengths; longer ones would be cut.
constexpr size_t maxAnnotationText = 40;
constexpr int maxAnnotationSignals = 64;
// EDF+ annotations count in 100 microseconds, record durations in 10 microseconds.
constexpr double annotationUnitsPerSecond = 10000.0;
constexpr double recordUnitsPerSecond = 100000.0;
constexpr int64_t valueBlock = 16384;

// The record durations tried, shortest first from one second (the usual one): the first
// that gives every rate of the file a whole number of samples per record is taken.
constexpr double recordDurations[] = {1, 2, 4, 5, 10, 20, 30, 60, 0.5, 0.25, 0.2, 0.1};

struct signalPlan {
    const folderChannel* channel = nullptr;
    int64_t begin = 0;  // the file's samples of the channel: [begin, end)
    int64_t end = 0;
    int samplesPerRecord = 0;
    double headerLow = 0, headerHigh = 0;
    int digitalLow = 0, digitalHigh = 0;
};

struct filePlan {
    int file = 0;
    edfGroup group = edfGroup::qor2;
    int64_t startNs = 0;
    double recordSeconds = 1;
    int64_t records = 0;
    std::vector<signalPlan> signals;
};

struct annotation {
    int64_t onset;     // 100 microsecond units from the file's start
    int64_t duration;  // same units, -1 for none
    std::string text;
};

int64_t floorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// ISO 8601 UTC to the nanosecond.
std::string utcNanosecondText(int64_t unixNs) {
    const int64_t seconds = floorDiv(unixNs, 1'000'000'000);
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, ".%09lldZ", static_cast<long long>(unixNs - seconds * 1'000'000'000));
    return utcText(seconds * 1000).substr(0, 19) + fraction;
}

bool wholeSamples(double rate, double seconds, int& perRecord) {
    const double n = rate * seconds;
    const double rounded = std::round(n);
    if (rounded < 1 || rounded > 1e7 || std::fabs(n - rounded) > 1e-9 * std::max(1.0, n)) return false;
    perRecord = static_cast<int>(rounded);
    return true;
}

// The files of the session: per input file and group, the channels with samples in it.
std::string planFiles(const sessionFolder& folder, std::vector<filePlan>& plans) {
    for (int f = 0; f < folder.fileCount; ++f) {
        for (edfGroup group : {edfGroup::qor2, edfGroup::jux, edfGroup::audio}) {
            filePlan plan;
            plan.file = f;
            plan.group = group;
            for (const folderChannel& c : folder.channels) {
                if (groupOf(c) != group) continue;
                for (size_t k = 0; k < c.anchors.size(); ++k) {
                    if (c.anchors[k].file != f || c.segmentEnd(k) <= c.anchors[k].index) continue;
                    if (!plan.signals.empty() && c.anchors[k].unixNs != plan.startNs) {
                        return "session.json: the channels of board " + c.board + " begin at different times in input file " +
                               std::to_string(f);
                    }
                    plan.startNs = c.anchors[k].unixNs;
                    signalPlan s;
                    s.channel = &c;
                    s.begin = c.anchors[k].index;
                    s.end = c.segmentEnd(k);
                    plan.signals.push_back(s);
                }
            }
            if (plan.signals.empty()) continue;
            bool found = false;
            for (double seconds : recordDurations) {
                found = std::all_of(plan.signals.begin(), plan.signals.end(), [&](signalPlan& s) {
                    return wholeSamples(s.channel->rate, seconds, s.samplesPerRecord);
                });
                if (found) {
                    plan.recordSeconds = seconds;
                    break;
                }
            }
            if (!found) return "no EDF data record duration gives every rate of input file " + std::to_string(f) + " whole samples";
            for (const signalPlan& s : plan.signals) {
                plan.records = std::max(plan.records, (s.end - s.begin + s.samplesPerRecord - 1) / s.samplesPerRecord);
            }
            plans.push_back(std::move(plan));
        }
    }
    return {};
}

// The physical range of each signal over its samples, and the header's range around it.
std::string planRanges(const sessionFolder& folder, filePlan& plan) {
    const bool bdf = layoutOf(plan.group).bdf;
    std::vector<double> values;
    for (signalPlan& s : plan.signals) {
        s.digitalLow = bdf ? -8388608 : -32768;
        s.digitalHigh = bdf ? 8388607 : 32767;
        if (s.channel->isAudio()) {
            // The microphone's words themselves: physical and digital values are one.
            s.headerLow = -32768;
            s.headerHigh = 32767;
            continue;
        }
        physicalReader reader;
        if (std::string error = reader.open(folder, *s.channel); !error.empty()) return error;
        double low = std::numeric_limits<double>::infinity(), high = -low;
        for (int64_t p = s.begin; p < s.end; p += valueBlock) {
            if (std::string error = reader.read(p, std::min(valueBlock, s.end - p), values); !error.empty()) return error;
            for (double v : values) {
                if (!std::isfinite(v)) continue;
                low = std::min(low, v);
                high = std::max(high, v);
            }
        }
        if (!(low <= high)) low = high = 0;
        if (!edfHeaderRange(low, high, s.headerLow, s.headerHigh)) {
            return "the values of " + s.channel->name + " (" + std::to_string(low) + " to " + std::to_string(high) +
                   ") do not fit an EDF header";
        }
    }
    return {};
}

int toDigital(const signalPlan& s, double value) {
    if (!std::isfinite(value)) value = s.headerLow;
    const double steps = static_cast<double>(s.digitalHigh) - s.digitalLow;
    const double d = std::nearbyint(s.digitalLow + (value - s.headerLow) * steps / (s.headerHigh - s.headerLow));
    return static_cast<int>(std::clamp(d, static_cast<double>(s.digitalLow), static_cast<double>(s.digitalHigh)));
}

// Every annotation of a file, in order, to sink (called twice: to count them before the
// header is written, and to write them).
std::string forEachAnnotation(const sessionFolder& folder, const filePlan& plan,
                              const std::function<void(annotation&&)>& sink) {
    sink({0, -1, "start " + utcNanosecondText(plan.startNs)});
    const double fileSeconds = static_cast<double>(plan.records) * plan.recordSeconds;
    const auto units = [](double seconds) { return static_cast<int64_t>(std::llround(seconds * annotationUnitsPerSecond)); };
    for (const signalPlan& s : plan.signals) {
        const folderChannel& c = *s.channel;
        sparseCursor cursor;
        if (std::string error = cursor.open(folder, c); !error.empty()) return error;
        for (int64_t p = cursor.nextAtOrAfter(s.begin); p >= 0 && p < s.end;) {
            int64_t q = p + 1;
            while (q < s.end && cursor.filled(q)) ++q;
            sink({units(static_cast<double>(p - s.begin) / c.rate), units(static_cast<double>(q - p) / c.rate),
                  "BAD_filled " + c.name});
            p = cursor.nextAtOrAfter(q);
        }
        if (!cursor.error().empty()) return cursor.error();
        const int64_t held = plan.records * s.samplesPerRecord;
        if (s.end - s.begin < held) {
            sink({units(static_cast<double>(s.end - s.begin) / c.rate),
                  units(static_cast<double>(held - (s.end - s.begin)) / c.rate), "BAD_padding " + c.name});
        }
    }
    if (plan.group != edfGroup::qor2) return {};

    // Images: named by the main board's session time in milliseconds, placed in UTC from
    // where each input file's main-board time begins.
    const auto& files = folder.json["files"];
    std::vector<double> zeroSession, zeroUnix;
    for (const auto& file : files) {
        const auto clocks = file.find("clocks");
        const nlohmann::json* clock = nullptr;
        if (clocks != file.end() && clocks->is_object() && clocks->contains("qor2")) clock = &(*clocks)["qor2"];
        if (clock == nullptr || !clock->is_object() || !(*clock)["zeroSessionSeconds"].is_number() ||
            !(*clock)["zero"].is_object() || !(*clock)["zero"]["unixSeconds"].is_number()) {
            zeroSession.push_back(std::numeric_limits<double>::quiet_NaN());
            zeroUnix.push_back(0);
            continue;
        }
        zeroSession.push_back((*clock)["zeroSessionSeconds"].get<double>());
        zeroUnix.push_back((*clock)["zero"]["unixSeconds"].get<double>());
    }
    std::string imageDirectory = outputLayout::imagesDirectoryName;
    if (folder.json.contains("images") && folder.json["images"].is_object() &&
        folder.json["images"].value("directory", imageDirectory) == ".") {
        imageDirectory = ".";
    }
    std::vector<std::string> names;
    std::string reason;
    if (platform::listDirectory(folder.directory + imageDirectory, names, reason)) {
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            if (!outputLayout::isImageFileName(name)) continue;
            const double sessionSeconds =
                std::strtod(name.substr(0, outputLayout::imageNameDigits).c_str(), nullptr) / 1000.0;
            int k = -1;
            for (int i = 0; i < static_cast<int>(zeroSession.size()); ++i) {
                if (zeroSession[static_cast<size_t>(i)] <= sessionSeconds) k = i;
            }
            if (k != plan.file) continue;
            const double unix = zeroUnix[static_cast<size_t>(k)] + (sessionSeconds - zeroSession[static_cast<size_t>(k)]);
            const double onset = unix - static_cast<double>(plan.startNs) / 1e9;
            if (onset >= 0 && onset <= fileSeconds) sink({units(onset), -1, "image " + name});
        }
    }

    gpsFixReader fixes;
    if (std::string error = fixes.open(folder); !error.empty()) return error;
    gpsFix fix;
    while (fixes.next(fix)) {
        const double onset = static_cast<double>(fix.unixMs) / 1000.0 - static_cast<double>(plan.startNs) / 1e9;
        if (onset < 0 || onset > fileSeconds) continue;
        char text[64];
        std::snprintf(text, sizeof text, "GPS %.7f %.7f", fix.latitudeDeg, fix.longitudeDeg);
        sink({units(onset), -1, text});
    }
    return fixes.error();
}

// EDFlib prints a header number by cutting its digits, not rounding them: 1013.246 (in
// binary a little below) would become "1013.245". A value a hair further from zero
// prints as the text it stands for.
double forHeaderText(double value) {
    return std::copysign(std::fabs(value) * (1.0 + 1e-12) + 1e-12, value);
}

std::string libraryFailure(const std::string& path, const char* what) {
    return "EDFlib could not " + std::string(what) + " " + path;
}

// Writes one file under its staged name.
std::string writeFile(const sessionFolder& folder, const filePlan& plan, const std::string& path) {
    int64_t annotations = 0;
    if (std::string error = forEachAnnotation(folder, plan, [&](annotation&&) { ++annotations; }); !error.empty()) {
        return error;
    }
    // Every data record carries one annotation per annotation signal.
    const int64_t annotationSignals = std::max<int64_t>(1, (annotations + plan.records - 1) / plan.records);
    if (annotationSignals > maxAnnotationSignals) {
        return "input file " + std::to_string(plan.file) + " has more annotations (" + std::to_string(annotations) +
               ") than an EDF+ file of " + std::to_string(plan.records) + " data records can hold";
    }

    const groupLayout layout = layoutOf(plan.group);
    const int handle = edfopen_file_writeonly(path.c_str(), layout.bdf ? EDFLIB_FILETYPE_BDFPLUS : EDFLIB_FILETYPE_EDFPLUS,
                                              static_cast<int>(plan.signals.size()));
    if (handle < 0) return libraryFailure(path, "create");
    struct closer {
        int handle;
        bool open = true;
        ~closer() {
            if (open) edfclose_file(handle);
        }
    } guard{handle};

    // The header's fraction of a second to the 100 microseconds of the annotations' clock
    // (EDFlib adds it to every onset and writes onsets to that step): the data records and
    // the annotations then keep one time base, and the "start" annotation gives the
    // exact instant.
    const int64_t seconds = floorDiv(plan.startNs, 1'000'000'000);
    const int64_t stepNs = 1'000'000'000 / static_cast<int64_t>(annotationUnitsPerSecond);
    int64_t fraction = (plan.startNs - seconds * 1'000'000'000 + stepNs / 2) / stepNs * stepNs;
    int64_t startSecond = seconds;
    if (fraction >= 1'000'000'000) {
        fraction -= 1'000'000'000;
        ++startSecond;
    }
    const int64_t subsecond = fraction / 100;  // EDFlib counts it in 100 ns
    const std::string day = utcText(startSecond * 1000);  // "2025-03-14T09:30:00.000Z"
    const auto field = [&](size_t at, size_t length) { return std::atoi(day.substr(at, length).c_str()); };
    bool ok = edf_set_startdatetime(handle, field(0, 4), field(5, 2), field(8, 2), field(11, 2), field(14, 2),
                                    field(17, 2)) == 0;
    ok = ok && edf_set_subsecond_starttime(handle, static_cast<int>(subsecond)) == 0;
    ok = ok && edf_set_datarecord_duration(handle, static_cast<int>(std::llround(plan.recordSeconds * recordUnitsPerSecond))) == 0;
    ok = ok && edf_set_number_of_annotation_signals(handle, static_cast<int>(annotationSignals)) == 0;
    const std::string board = plan.group == edfGroup::jux ? "jux" : "qor2";
    std::string equipment = board;
    const auto& boards = folder.json.value("boards", nlohmann::json::object());
    if (boards.is_object() && boards.contains(board) && boards[board].is_object() && boards[board]["serial"].is_number_integer()) {
        equipment += " " + std::to_string(boards[board]["serial"].get<int64_t>());
    }
    ok = ok && edf_set_equipment(handle, equipment.c_str()) == 0;
    const std::string recording = folder.part + " file " + std::to_string(plan.file);
    ok = ok && edf_set_recording_additional(handle, recording.c_str()) == 0;
    for (size_t i = 0; i < plan.signals.size() && ok; ++i) {
        const signalPlan& s = plan.signals[i];
        const int signal = static_cast<int>(i);
        const auto dimension = edfDimensionOf(s.channel->info->ucum);
        if (!dimension) return "the unit " + std::string(s.channel->info->ucum) + " of " + s.channel->name + " has no EDF text";
        ok = edf_set_samplefrequency(handle, signal, s.samplesPerRecord) == 0 &&
             edf_set_physical_maximum(handle, signal, forHeaderText(s.headerHigh)) == 0 &&
             edf_set_physical_minimum(handle, signal, forHeaderText(s.headerLow)) == 0 &&
             edf_set_digital_maximum(handle, signal, s.digitalHigh) == 0 &&
             edf_set_digital_minimum(handle, signal, s.digitalLow) == 0 &&
             edf_set_label(handle, signal, s.channel->name.c_str()) == 0 &&
             edf_set_physical_dimension(handle, signal, s.channel->isAudio() ? "" : dimension->text) == 0 &&
             edf_set_transducer(handle, signal, s.channel->info->quantity) == 0;
    }
    if (!ok) return libraryFailure(path, "set the header of");

    // Samples record by record, each signal from a block of its values.
    struct stream {
        physicalReader reader;
        SNDFILE* sound = nullptr;
        std::vector<double> values;
        std::vector<short> words;
        int64_t blockStart = 0;
        int last = 0;
        ~stream() {
            if (sound != nullptr) sf_close(sound);
        }
    };
    std::vector<stream> streams(plan.signals.size());
    for (size_t i = 0; i < plan.signals.size(); ++i) {
        const signalPlan& s = plan.signals[i];
        stream& st = streams[i];
        st.blockStart = s.begin;
        if (s.channel->isAudio()) {
            SF_INFO info{};
            st.sound = sf_open(folder.path(s.channel->file).c_str(), SFM_READ, &info);
            if (st.sound == nullptr || sf_seek(st.sound, s.begin, SEEK_SET) != s.begin) {
                return "unable to read " + folder.path(s.channel->file);
            }
        } else if (std::string error = st.reader.open(folder, *s.channel); !error.empty()) {
            return error;
        }
        st.last = toDigital(s, s.channel->isAudio() ? 0.0 : s.headerLow);
    }
    std::vector<int> buffer;
    for (int64_t r = 0; r < plan.records; ++r) {
        for (size_t i = 0; i < plan.signals.size(); ++i) {
            const signalPlan& s = plan.signals[i];
            stream& st = streams[i];
            buffer.resize(static_cast<size_t>(s.samplesPerRecord));
            for (int j = 0; j < s.samplesPerRecord; ++j) {
                const int64_t p = s.begin + r * s.samplesPerRecord + j;
                if (p < s.end) {
                    const int64_t held = static_cast<int64_t>(s.channel->isAudio() ? st.words.size() : st.values.size());
                    if (p >= st.blockStart + held) {
                        st.blockStart = p;
                        const int64_t n = std::min(valueBlock, s.end - p);
                        if (s.channel->isAudio()) {
                            st.words.resize(static_cast<size_t>(n));
                            if (sf_readf_short(st.sound, st.words.data(), n) != n) {
                                return "unable to read " + folder.path(s.channel->file);
                            }
                        } else if (std::string error = st.reader.read(p, n, st.values); !error.empty()) {
                            return error;
                        }
                    }
                    const size_t at = static_cast<size_t>(p - st.blockStart);
                    st.last = s.channel->isAudio() ? st.words[at] : toDigital(s, st.values[at]);
                }
                // Past the channel's end its last value stands in; "BAD_padding" marks it.
                buffer[static_cast<size_t>(j)] = st.last;
            }
            if (edfwrite_digital_samples(handle, buffer.data()) != 0) return libraryFailure(path, "write the samples of");
        }
    }
    bool written = true;
    if (std::string error = forEachAnnotation(folder, plan, [&](annotation&& a) {
            if (a.text.size() > maxAnnotationText) a.text.resize(maxAnnotationText);
            written = written && edfwrite_annotation_utf8(handle, a.onset, a.duration, a.text.c_str()) == 0;
        });
        !error.empty()) {
        return error;
    }
    if (!written) return libraryFailure(path, "write the annotations of");
    guard.open = false;
    if (edfclose_file(handle) != 0) return libraryFailure(path, "finish");
    return {};
}

}  // namespace

bool edfHeaderRange(double low, double high, double& headerLow, double& headerHigh) {
    if (!std::isfinite(low) || !std::isfinite(high) || low > high) return false;
    if (low == high) {
        low -= 0.5;
        high += 0.5;
    }
    for (int decimals = 6; decimals >= 0; --decimals) {
        const double scale = std::pow(10.0, decimals);
        char lowText[64], highText[64];
        std::snprintf(lowText, sizeof lowText, "%.*f", decimals, std::floor(low * scale) / scale);
        std::snprintf(highText, sizeof highText, "%.*f", decimals, std::ceil(high * scale) / scale);
        const auto trimmed = [](char* text) {
            std::string s = text;
            if (s.find('.') != std::string::npos) {
                while (s.back() == '0') s.pop_back();
                if (s.back() == '.') s.pop_back();
            }
            if (s == "-0") s = "0";
            return s;
        };
        const std::string lowTrimmed = trimmed(lowText), highTrimmed = trimmed(highText);
        if (lowTrimmed.size() > 8 || highTrimmed.size() > 8) continue;
        headerLow = std::strtod(lowTrimmed.c_str(), nullptr);
        headerHigh = std::strtod(highTrimmed.c_str(), nullptr);
        if (headerLow < headerHigh) return true;
    }
    return false;
}

std::string exportEdf(const sessionFolder& folder, const std::string& outputDirectory,
                      std::vector<std::string>& written) {
    std::vector<filePlan> plans;
    if (std::string error = planFiles(folder, plans); !error.empty()) return error;
    for (filePlan& plan : plans) {
        if (std::string error = planRanges(folder, plan); !error.empty()) return error;
        const std::string path = platform::withTrailingSeparator(outputDirectory) +
                                 outputLayout::edfFileName(folder.part, plan.file, layoutOf(plan.group).suffix);
        const std::string staged = stagedPath(path);
        if (std::string error = writeFile(folder, plan, staged); !error.empty()) {
            discardStaged(staged);
            return error;
        }
        if (std::string error = putInPlace(staged, path); !error.empty()) return error;
        written.push_back(path);
    }
    return {};
}

}  // namespace sensconv
