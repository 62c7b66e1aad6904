#include "output/snsr_packetWriter_class.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>

#include "common/outputStatus.h"
#include "common/textFormat.h"
#include "decode/channelTable.h"
#include "decode/sampleChannel.h"
#include "decode/sensorDecoder.h"
#include "platform/platform.h"

namespace sensconv {

namespace {

constexpr const char* gpsFileName = "sirfGPSOutput.bin";
constexpr const char* wavFileName = "completeSensorAudio.wav";
constexpr const char* globalMetaFileName = "binaryData.meta";

// asctime text without its final newline.
std::string localTimeText(int64_t t) {
    std::string text = platform::asctimeText(t);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// The WAV rate: tenths of a hertz to whole hertz, truncated toward zero.
int32_t wavSampleRate(double rateTenthsHz) {
    const double hertz = std::trunc(rateTenthsHz / 10.0);
    if (std::isnan(hertz)) return 0;
    constexpr double lowest = std::numeric_limits<int32_t>::min();
    constexpr double highest = std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(std::clamp(hertz, lowest, highest));
}

}  // namespace

snsr_packetWriter_class::snsr_packetWriter_class() {
    // The audio goes to the WAV file instead of a channel file.
    channelEnabled_["qor2/audio"] = false;
}

snsr_packetWriter_class::~snsr_packetWriter_class() {
    for (auto& channel : channels_) channel->close();
    channels_.clear();
    channelIndex_.clear();
    if (anyFileBegun_) writeGlobalMeta();
    gpsFile_.close();
    wav_.close();
}

bool snsr_packetWriter_class::beginFile(const std::string& directory, sensorDecoder* decoder) {
    if (decoder == nullptr) return false;

    // An empty directory means the current one, not the file system's root.
    outputDir_ = directory.empty() ? std::string() : platform::withTrailingSeparator(directory);
    // Nothing of an earlier file's decoder may be reached from here on.
    for (auto& channel : channels_) channel->unbind();
    bound_.clear();
    audioChannel_ = decoder->qor2Channels[qor2Audio].get();
    gpsRecord_ = &decoder->gpsRecord;

    const snsrHeader* header = decoder->header;
    sourceFiles_.push_back(header != nullptr ? header->file_name : std::string());

    if (!identityCaptured_) {
        if (decoder->qor2Active && header != nullptr) {
            const qor2Settings& settings = header->qor2_settings;
            qor2Info_ = {settings.bdnr, settings.hver, settings.swma, settings.swmi};
        }
        if (decoder->juxActive && header != nullptr) {
            const juxSettings& settings = header->jux_settings;
            juxInfo_ = {settings.bdnr, settings.hver, settings.swma, settings.swmi};
        }
        processingStartTime_ = platform::currentTime();
        processingStartText_ = localTimeText(processingStartTime_);
        identityCaptured_ = true;
    }

    setUpAudio(*decoder);

    if (decoder->qor2Active && decoder->gpsActive && !gpsFile_.isOpen()) openGpsFile();

    if (decoder->qor2Active) {
        for (auto& channel : decoder->qor2Channels) {
            if (channel != nullptr) setUpChannel(*channel);
        }
    }
    if (decoder->juxActive) {
        for (auto& channel : decoder->juxChannels) {
            if (channel != nullptr) setUpChannel(*channel);
        }
    }

    bound_.clear();
    for (auto& channel : channels_) {
        if (channel->isBound()) bound_.emplace_back(channel->source(), channel.get());
    }

    ++fileCounter_;
    appendMeta(metaKeys, metaValues, "#FileStart", formatText("%02d", fileCounter_));
    anyFileBegun_ = true;
    return true;
}

void snsr_packetWriter_class::setUpAudio(sensorDecoder& decoder) {
    if (!decoder.qor2Active) return;
    const sampleChannel* audio = decoder.qor2Channels[qor2Audio].get();
    if (audio == nullptr || audio->rate == 0) return;
    const int32_t sampleRate = wavSampleRate(audio->rate);
    // One WAV file per session, at the rate of the first file that has audio.
    if (wav_.isOpen() || sampleRate == 0) return;
    wav_.open(outputDir_ + wavFileName, sampleRate);
}

void snsr_packetWriter_class::openGpsFile() {
    if (!gpsFile_.create(outputDir_ + gpsFileName)) {
        std::fprintf(stderr, "# snsr_packetWriter: ERROR, unable to open sirfGPSOutput.bin\n");
        std::fprintf(stderr, "# snsr_packetWriter: ERROR, Exiting\n");
        platform::exitProcess(-1);
    }
}

void snsr_packetWriter_class::setUpChannel(sampleChannel& source) {
    const auto enabled = channelEnabled_.find(source.longName);
    if (enabled != channelEnabled_.end() && !enabled->second) return;
    const auto existing = channelIndex_.find(source.longName);
    if (existing != channelIndex_.end()) {
        channels_[existing->second]->bind(source);
        return;
    }
    channels_.push_back(std::make_unique<outputChannel>(outputDir_, source));
    channelIndex_[source.longName] = channels_.size() - 1;
}

void snsr_packetWriter_class::writePacket() {
    for (const auto& [source, channel] : bound_) {
        if (source->batchCount > 0 || !source->missingList.empty()) channel->writeBatch();
    }

    if (gpsFile_.isOpen() && gpsRecord_ != nullptr && gpsRecord_->length > 0) {
        const size_t length = std::min(static_cast<size_t>(gpsRecord_->length), gpsRecord_->bytes.size());
        gpsFile_.write(gpsRecord_->bytes.data(), 1, length);
        gpsRecord_->length = 0;
        ++gpsRecords_;
    }

    if (wav_.isOpen() && audioChannel_ != nullptr && audioChannel_->batchCount > 0) {
        wav_.writeBatch(audioChannel_->batch, audioChannel_->batchCount);
        audioChannel_->batchCount = 0;
    }
}

void snsr_packetWriter_class::endFile() {
    appendMeta(metaKeys, metaValues, "#FileEnd", formatText("%02d", fileCounter_));
    spillMeta();
    for (auto& channel : channels_) channel->mergeFileEnd();
    bound_.clear();
    // The decoder is destroyed next.
    audioChannel_ = nullptr;
    gpsRecord_ = nullptr;
}

void snsr_packetWriter_class::spillMeta() {
    // A session of thousands of files would otherwise hold every file's statistics
    // until its end. Without a scratch file they stay in the lists.
    if (!metaLines_.isOpen() && !metaLines_.open(outputDir_)) return;
    const size_t pairs = std::min(metaKeys.size(), metaValues.size());
    std::string line;
    for (size_t i = 0; i < pairs; ++i) {
        line.clear();
        line.append("\"").append(metaKeys[i]).append("\",").append(metaValues[i]).append("\n");
        metaLines_.append(line.data(), line.size());
    }
    metaKeys.erase(metaKeys.begin(), metaKeys.begin() + static_cast<std::ptrdiff_t>(pairs));
    metaValues.erase(metaValues.begin(), metaValues.begin() + static_cast<std::ptrdiff_t>(pairs));
}

std::vector<snsr_packetWriter_class::channelFacts> snsr_packetWriter_class::channelSummary() const {
    std::vector<channelFacts> facts;
    facts.reserve(channels_.size());
    for (const auto& channel : channels_) {
        const binaryDataFile& file = channel->file();
        facts.push_back({channel->longName(), file.name(), file.sampleRate(), file.samplesWritten,
                         file.filledCount()});
    }
    return facts;
}

void snsr_packetWriter_class::writeGlobalMeta() {
    outputFile meta;
    if (!meta.create(outputDir_ + globalMetaFileName)) {
        std::fprintf(stderr, "# ERROR: Unable to write global meta data to: %s\n", meta.path().c_str());
        markOutputLost();
        return;
    }
    for (const std::string& source : sourceFiles_) meta.print("\"%s\",\"%s\"\n", "sourceFile", source.c_str());

    const auto printIdentity = [&meta](const boardInfo& info, const char* serialKey, const char* hardwareKey,
                                       const char* majorKey, const char* minorKey) {
        if (info.serial == -1) return;
        meta.print("\"%s\",%d\n", serialKey, info.serial);
        meta.print("\"%s\",%d\n", hardwareKey, info.hardwareVersion);
        meta.print("\"%s\",%d\n", majorKey, info.majorSoftVersion);
        meta.print("\"%s\",%d\n", minorKey, info.minorSoftVersion);
    };
    printIdentity(qor2Info_, "qor2_deviceSN", "qor2_hardware_version", "qor2_major_soft_version",
                  "qor2_minor_soft_version");
    printIdentity(juxInfo_, "jux_deviceSN", "jux_hardware_version", "jux_major_soft_version",
                  "jux_minor_soft_version");

    meta.print("\"%s\",%" PRId64 "\n", "processingDateStart", processingStartTime_);
    meta.print("\"%s\",\"%s\"\n", "processingDateStartString", processingStartText_.c_str());
    const int64_t endTime = platform::currentTime();
    meta.print("\"%s\",%" PRId64 "\n", "processingDateEnd", endTime);
    meta.print("\"%s\",\"%s\"\n", "processingDateEndString", localTimeText(endTime).c_str());
    const std::string createdBy = formatText("Created by snsr_packetWriter_class (%s), compiled on %s at %s",
                                             platform::architectureLabel(), __DATE__, __TIME__);
    meta.print("\"%s\",\"%s\"\n", "createdBy", createdBy.c_str());

    metaLines_.copyTo(meta);
    metaLines_.close();
    for (size_t i = 0; i < metaKeys.size(); ++i) {
        // Producers append in pairs; a key without its value is still kept.
        const char* value = i < metaValues.size() ? metaValues[i].c_str() : "";
        meta.print("\"%s\",%s\n", metaKeys[i].c_str(), value);
    }
    meta.close();
}

}  // namespace sensconv
