#include "snsrsim/truthWriter.h"

#include <algorithm>
#include <bit>

#include "common/littleEndian.h"
#include "common/outputLayout.h"
#include "common/textFormat.h"
#include "platform/platform.h"

namespace snsrsim {

namespace layout = sensconv::outputLayout;

namespace {

const char* shortNameOf(int channel) {
    return channel < sensconv::numQor2Channels
               ? sensconv::qor2ChannelTable[static_cast<size_t>(channel)].shortName
               : sensconv::juxChannelTable[static_cast<size_t>(channel - sensconv::numQor2Channels)].shortName;
}

}  // namespace

truthWriter::truthWriter(const std::string& root, int32_t sessionIndex, const truthContents& contents)
    : contents_(contents) {
    dir_ = sensconv::platform::withTrailingSeparator(root) + layout::sessionFolderName(sessionIndex);
    simFile::makeDirectory(dir_);
    dir_ = sensconv::platform::withTrailingSeparator(dir_);
    if (contents.camera) simFile::makeDirectory(dir_ + layout::imagesDirectoryName);
    for (int channel = 0; channel < numTruthChannels; ++channel) {
        const bool qor2Channel = channel < sensconv::numQor2Channels;
        bool on = qor2Channel ? contents.qor2 : contents.jux;
        if (channel == sensconv::qor2Audio) on = contents.audio;
        channelTruth& truth = channels_[static_cast<size_t>(channel)];
        truth.on = on;
        if (on) truth.values.open(dir_ + layout::channelFileStem(shortNameOf(channel)) + ".f64");
    }
    if (contents.gps) gps_.open(dir_ + layout::gpsRecordsFileName);
}

void truthWriter::beginFile(const std::string& name, double qor2ZeroUnixSeconds, double juxZeroUnixSeconds) {
    fileExpectations file;
    file.name = name;
    files_.push_back(file);
    for (int channel = 0; channel < numTruthChannels; ++channel) {
        channelTruth& truth = channels_[static_cast<size_t>(channel)];
        truth.anchorPending = true;
        truth.fileStart = truth.position;
        truth.zeroUnixSeconds = channel < sensconv::numQor2Channels ? qor2ZeroUnixSeconds : juxZeroUnixSeconds;
    }
}

void truthWriter::writeValue(channelTruth& channel, double value) {
    uint8_t raw[8];
    sensconv::writeLE64(raw, std::bit_cast<uint64_t>(value));
    channel.values.write(raw, sizeof raw);
    ++channel.position;
}

void truthWriter::sample(int channel, double value, bool delivered) {
    channelTruth& truth = channels_[static_cast<size_t>(channel)];
    if (!truth.on) return;
    if (!delivered) {
        ++truth.pending;
        return;
    }
    if (truth.anchorPending) {
        anchors_.push_back({channel, files_.size() - 1, truth.fileStart, truth.zeroUnixSeconds});
        truth.anchorPending = false;
    }
    for (; truth.pending > 0; --truth.pending) {
        truth.filled.push_back(truth.position);
        writeValue(truth, truth.lastValue);
    }
    writeValue(truth, value);
    truth.lastValue = value;
    ++currentFile().received[static_cast<size_t>(channel)];
}

void truthWriter::endFile() {
    // Samples lost at the end of a file are never filled: the next file starts its
    // channels afresh, and a channel's last value starts at 1.0 in every file.
    for (channelTruth& truth : channels_) {
        truth.pending = 0;
        truth.lastValue = 1.0;
    }
}

void truthWriter::gpsRecord(std::span<const uint8_t> record) {
    gps_.write(record);
}

void truthWriter::image(int32_t milliseconds, std::span<const uint8_t> bytes) {
    simFile::writeWhole(dir_ + layout::imagesDirectoryName + sensconv::platform::pathSeparator +
                            layout::imageFileName(milliseconds),
                        bytes);
    ++images_;
}

void truthWriter::finish() {
    for (int channel = 0; channel < numTruthChannels; ++channel) {
        channelTruth& truth = channels_[static_cast<size_t>(channel)];
        if (!truth.on) continue;
        truth.values.close();
        if (!truth.filled.empty()) {
            simFile sparse(dir_ + layout::channelSparseFileName(shortNameOf(channel)));
            for (int64_t position : truth.filled) sparse.print("%lld,1\n", static_cast<long long>(position));
            sparse.close();
        }
    }
    gps_.close();

    simFile anchors(dir_ + "anchors.csv");
    anchors.print("channel,file,index,unixSeconds,rateHz,driftPpm\n");
    for (const anchorTruth& a : anchors_) {
        const bool qor2Channel = a.channel < sensconv::numQor2Channels;
        anchors.print("%s,%zu,%lld,%.7f,%.17g,%.17g\n", shortNameOf(a.channel), a.file, static_cast<long long>(a.index),
                      a.unixSeconds, contents_.rateHz[static_cast<size_t>(a.channel)],
                      qor2Channel ? contents_.qor2DriftPpm : contents_.juxDriftPpm);
    }
    anchors.close();

    simFile meta(dir_ + "expected.meta");
    meta.print("\"session_files\",%zu\n", files_.size());
    meta.print("\"session_wavSampleRate\",%d\n", contents_.audio ? contents_.wavSampleRate : 0);
    meta.print("\"session_images\",%d\n", images_);
    for (const fileExpectations& file : files_) meta.print("\"sourceFile\",\"%s\"\n", file.name.c_str());
    int number = 0;
    for (const fileExpectations& file : files_) {
        ++number;
        meta.print("\"#FileStart\",%02d\n", number);
        meta.print("\"snsr_numParsedPackets\",%d\n", file.parsedPackets);
        meta.print("\"snsr_numCorruptSections\",%d\n", file.corruptSections);
        meta.print("\"snsr_numCorruptBytesSkipped\",%lld\n", static_cast<long long>(file.corruptBytesSkipped));
        if (contents_.qor2) {
            meta.print("\"qor2_crcErrors\",%d\n", file.qor2CrcErrors);
            meta.print("\"qor2_validPackets\",%d\n", file.qor2ValidPackets);
            meta.print("\"qor2_unhandledPackets\",0\n");
            for (int channel = 0; channel < sensconv::numQor2Channels; ++channel) {
                meta.print("\"qor2_recvieved_%s\",%d\n", shortNameOf(channel),
                           file.received[static_cast<size_t>(channel)]);
            }
        }
        if (contents_.jux) {
            meta.print("\"jux_crcErrors\",%d\n", file.juxCrcErrors);
            meta.print("\"jux_validPackets\",%d\n", file.juxValidPackets);
            meta.print("\"jux_unhandledPackets\",%d\n", file.juxUnhandledPackets);
            for (int channel = 0; channel < sensconv::numJuxChannels; ++channel) {
                meta.print("\"jux_recvieved_%s\",%d\n", shortNameOf(juxTruthChannel(channel)),
                           file.received[static_cast<size_t>(juxTruthChannel(channel))]);
            }
        }
        if (contents_.gps) meta.print("\"sirfGPS_numBytesProcessed\",%d\n", file.gpsBytes);
        if (contents_.camera) {
            meta.print("\"camera_numGoodImages\",%d\n", file.goodImages);
            meta.print("\"camera_numBadImages\",%d\n", file.badImages);
        }
        meta.print("\"#FileEnd\",%02d\n", number);
    }
    meta.close();
}

void truthWriter::accelerometer(const accelErrors& errors, const std::vector<stillPeriod>& rests, int64_t startMs,
                                double endSeconds) {
    errors.writeTruth(dir_);
    simFile still(dir_ + "stillPeriods.csv");
    still.print("startUnixSeconds,endUnixSeconds,gravityX,gravityY,gravityZ\n");
    const double start = static_cast<double>(startMs) / 1000.0;
    for (const stillPeriod& rest : rests) {
        still.print("%.3f,%.3f,%.17g,%.17g,%.17g\n", start + rest.start, start + std::min(rest.end, endSeconds),
                    rest.gravity[0], rest.gravity[1], rest.gravity[2]);
    }
    still.close();
}

}  // namespace snsrsim
