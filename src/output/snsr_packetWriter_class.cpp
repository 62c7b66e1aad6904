#include "output/snsr_packetWriter_class.h"

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>

#include "common/outputLayout.h"
#include "common/textFormat.h"
#include "common/userMessages.h"
#include "decode/channelTable.h"
#include "decode/sampleChannel.h"
#include "output/outputMessages.h"
#include "platform/platform.h"

namespace sensconv {

namespace {

using outputLayout::audioFileName;
using outputLayout::gpsRecordsFileName;
using outputLayout::sessionMetaFileName;

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

snsr_packetWriter_class::snsr_packetWriter_class(runStatus& run, handOff* beside)
    : run_(&run), beside_(beside), gpsFile_(run), wav_(run, beside) {}

snsr_packetWriter_class::~snsr_packetWriter_class() {
    if (!finished_) {
        // Each file waits for its last blocks as it closes.
        channels_.clear();
        gpsFile_.close();
        wav_.close();
    }
}

bool snsr_packetWriter_class::finish() {
    for (auto& channel : channels_) channel->close();
    channels_.clear();
    channelIndex_.clear();
    const bool metaWritten = !anyFileBegun_ || writeGlobalMeta();
    gpsFile_.close();
    wav_.close();
    finished_ = true;
    return metaWritten;
}

outcome snsr_packetWriter_class::beginFile(const std::string& directory, const decoderView& decoder) {
    // An empty directory means the current one, not the file system's root.
    outputDir_ = directory.empty() ? std::string() : platform::withTrailingSeparator(directory);
    // Nothing of an earlier file's decoder may be reached from here on.
    for (auto& channel : channels_) channel->unbind();
    bound_.clear();
    decoder_.reset();
    audioChannel_ = decoder.audio();
    gpsRecord_ = &decoder.gpsRecord();

    sourceFiles_.push_back(decoder.sourceFile());

    if (!identityCaptured_) {
        qor2Info_ = decoder.qor2Identity();
        juxInfo_ = decoder.juxIdentity();
        processingStartTime_ = platform::currentTime();
        processingStartText_ = localTimeText(processingStartTime_);
        identityCaptured_ = true;
    }

    if (outcome opened = setUpAudio(decoder); !opened.ok()) return opened;

    if (decoder.hasQor2() && decoder.hasGps() && !gpsFile_.isOpen()) {
        if (outcome opened = openGpsFile(); !opened.ok()) return opened;
    }

    for (int i = 0; i < numQor2Channels; ++i) {
        if (const sampleChannel* channel = decoder.qor2Channel(i); channel != nullptr) {
            if (outcome opened = setUpChannel(*channel); !opened.ok()) return opened;
        }
    }
    for (int i = 0; i < numJuxChannels; ++i) {
        if (const sampleChannel* channel = decoder.juxChannel(i); channel != nullptr) {
            if (outcome opened = setUpChannel(*channel); !opened.ok()) return opened;
        }
    }

    bound_.clear();
    for (auto& channel : channels_) {
        if (channel->isBound()) bound_.emplace_back(channel->source(), channel.get());
    }
    static_assert(numQor2Channels + numJuxChannels <= 64, "writePacket keeps the due channels in 64 bits");
    boundAt_.fill(-1);
    auto place = [this](int number, const sampleChannel* source) {
        for (size_t at = 0; at < bound_.size(); ++at) {
            if (source != nullptr && bound_[at].first == source) {
                boundAt_[static_cast<size_t>(number)] = static_cast<int8_t>(at);
            }
        }
    };
    for (int i = 0; i < numQor2Channels; ++i) place(i, decoder.qor2Channel(i));
    for (int i = 0; i < numJuxChannels; ++i) place(numQor2Channels + i, decoder.juxChannel(i));
    decoder_.emplace(decoder);

    ++fileCounter_;
    appendMeta(metaKeys_, metaValues_, "#FileStart", formatText("%02d", fileCounter_));
    anyFileBegun_ = true;
    return {};
}

outcome snsr_packetWriter_class::setUpAudio(const decoderView& decoder) {
    const sampleChannel* audio = decoder.audio();
    if (audio == nullptr || audio->rate == 0) return {};
    const int32_t sampleRate = wavSampleRate(audio->rate);
    // One WAV file per session, at the rate of the first file that has audio.
    if (wav_.isOpen() || sampleRate == 0) return {};
    return wav_.open(outputDir_ + audioFileName, sampleRate);
}

outcome snsr_packetWriter_class::openGpsFile() {
    if (gpsFile_.create(outputDir_ + gpsRecordsFileName)) return {};
    // This failure has always ended with a closing line of its own.
    return outcome::fatal(exitStatus::failed, outputMessages::gpsFileNotOpened, outputMessages::gpsFileExiting);
}

outcome snsr_packetWriter_class::setUpChannel(const sampleChannel& source) {
    // The audio goes to the WAV file instead of a channel file.
    if (source.longName == qor2ChannelTable[qor2Audio].longName) return {};
    const auto existing = channelIndex_.find(source.longName);
    if (existing != channelIndex_.end()) {
        channels_[existing->second]->bind(source);
        return {};
    }
    channels_.push_back(std::make_unique<outputChannel>(*run_, source, beside_));
    channelIndex_[source.longName] = channels_.size() - 1;
    return channels_.back()->open(outputDir_);
}

void snsr_packetWriter_class::writePacket() {
    // The channels write in creation order, whatever order the decoder filled them in:
    // the outcomes of their blocks are told in the order the blocks were handed over.
    uint64_t due = 0;
    if (decoder_) {
        for (const uint8_t number : decoder_->channelsWithValues()) {
            const int8_t at = number < boundAt_.size() ? boundAt_[number] : -1;
            if (at >= 0) due |= uint64_t{1} << at;
        }
    }
    for (; due != 0; due &= due - 1) {
        const auto& [source, channel] = bound_[static_cast<size_t>(std::countr_zero(due))];
        if (source->batchCount() > 0 || !source->missingList().empty()) channel->writeBatch();
    }

    if (gpsFile_.isOpen() && gpsRecord_ != nullptr && gpsRecord_->length > 0) {
        const size_t length = std::min(static_cast<size_t>(gpsRecord_->length), gpsRecord_->bytes.size());
        gpsFile_.write(gpsRecord_->bytes.data(), 1, length);
        ++gpsRecords_;
    }

    if (wav_.isOpen() && audioChannel_ != nullptr && audioChannel_->batchCount() > 0) {
        if (audioChannel_->batch16() != nullptr) {
            wav_.writeSamples(audioChannel_->batch16(), audioChannel_->batchCount());
        } else {
            wav_.writeBatch(audioChannel_->batch(), audioChannel_->batchCount());
        }
    }
}

void snsr_packetWriter_class::endFile(const fileReport& report) {
    metaKeys_.insert(metaKeys_.end(), report.statisticsKeys.begin(), report.statisticsKeys.end());
    metaValues_.insert(metaValues_.end(), report.statisticsValues.begin(), report.statisticsValues.end());
    appendMeta(metaKeys_, metaValues_, "#FileEnd", formatText("%02d", fileCounter_));
    spillMeta();
    for (auto& channel : channels_) channel->mergeFileEnd();
    bound_.clear();
    decoder_.reset();
    // The decoder is destroyed next.
    audioChannel_ = nullptr;
    gpsRecord_ = nullptr;
}

void snsr_packetWriter_class::flushChannels() {
    for (auto& channel : channels_) channel->flush();
    wav_.closeAtFatalEnd();
}

void snsr_packetWriter_class::spillMeta() {
    // A session of thousands of files would otherwise hold every file's statistics
    // until its end. Without a scratch file they stay in the lists.
    if (!metaLines_.isOpen() && !metaLines_.open(outputDir_)) return;
    const size_t pairs = std::min(metaKeys_.size(), metaValues_.size());
    std::string line;
    for (size_t i = 0; i < pairs; ++i) {
        line.clear();
        line.append("\"").append(metaKeys_[i]).append("\",").append(metaValues_[i]).append("\n");
        metaLines_.append(line.data(), line.size());
    }
    metaKeys_.erase(metaKeys_.begin(), metaKeys_.begin() + static_cast<std::ptrdiff_t>(pairs));
    metaValues_.erase(metaValues_.begin(), metaValues_.begin() + static_cast<std::ptrdiff_t>(pairs));
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

bool snsr_packetWriter_class::writeGlobalMeta() {
    outputFile meta(*run_);
    if (!meta.create(outputDir_ + sessionMetaFileName)) {
        printMessage(outputMessages::globalMetaNotWritten, meta.path().c_str());
        meta.lostWithoutFile();
        return false;
    }
    for (const std::string& source : sourceFiles_) meta.print("\"%s\",\"%s\"\n", "sourceFile", source.c_str());

    const auto printIdentity = [&meta](const boardIdentity& info, const char* serialKey, const char* hardwareKey,
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
    for (size_t i = 0; i < metaKeys_.size(); ++i) {
        // Producers append in pairs; a key without its value is still kept.
        const char* value = i < metaValues_.size() ? metaValues_[i].c_str() : "";
        meta.print("\"%s\",%s\n", metaKeys_[i].c_str(), value);
    }
    return meta.close();
}

}  // namespace sensconv
