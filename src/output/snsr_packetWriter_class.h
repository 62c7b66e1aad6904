#pragma once
// The writer of one recording session: binds to each input file's decoder in turn,
// writes channel files, the GPS byte file and the WAV file, and collects the
// session metadata written to binaryData.meta when the session is finished. The full
// blocks of the channel files and the WAV file go to the thread beside the conversion
// (the session pipeline's) while decoding goes on.

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/metaLists.h"
#include "common/outcome.h"
#include "common/runStatus.h"
#include "decode/decoderView.h"
#include "decode/fileReport.h"
#include "decode/packetSink.h"
#include "common/handOff.h"
#include "output/outputChannel.h"
#include "output/outputFile.h"
#include "output/scratchFile.h"
#include "output/wavAudioFile.h"

namespace sensconv {

class sampleChannel;

class snsr_packetWriter_class final : public packetSink {
public:
    // Files that fail are counted in run. The files hand their full blocks to beside;
    // without it (or where it has no thread) they write them as they fill.
    explicit snsr_packetWriter_class(runStatus& run, handOff* beside = nullptr);
    // Waits for the blocks still on their way. A writer that was not finished leaves
    // the session's files as far as they had come, without binaryData.meta.
    ~snsr_packetWriter_class();
    snsr_packetWriter_class(const snsr_packetWriter_class&) = delete;
    snsr_packetWriter_class& operator=(const snsr_packetWriter_class&) = delete;

    // Binds the writer to the input file's decoder through its view; the decoder must
    // live until endFile. Channels of a board that this file lacks stay unbound for
    // the file: they get no samples from it and keep their timestamps and positions as
    // they were. Fatal when a session file cannot be created (status -1; -8 for the WAV
    // file); the files made until then stay as they are.
    outcome beginFile(const std::string& directory, const decoderView& decoder);
    // Appends what the decoder produced for the last packet: channel batches, the GPS
    // record and the audio. Pieces the current file lacks are skipped.
    void writePacket() override;
    // After the input file's last packet: its statistics go to binaryData.meta.
    void endFile(const fileReport& report);
    // Hands every channel's gathered samples to its file and finishes the WAV file: a
    // run that ends in the middle of a file leaves the samples decoded up to there on
    // disk, and the audio handed over to there (wavAudioFile::closeAtFatalEnd).
    void flushChannels() override;
    // At the end of the session: closes every channel, writes binaryData.meta (when a
    // file was begun), closes the GPS file and finishes the WAV file, and waits for
    // the last blocks. False when binaryData.meta did not reach the disk whole; its
    // line is printed and the file counted in the run like any other lost output.
    [[nodiscard]] bool finish();


    // What the session summary reads after each input file: every channel file in
    // creation order, and the WAV file.
    struct channelFacts {
        std::string longName;
        std::string shortName;
        double rateHz = 0.0;
        int64_t samples = 0;  // in the .bin so far
        int64_t filled = 0;   // of them filled in
    };
    std::vector<channelFacts> channelSummary() const;
    bool audioOpen() const { return wav_.isOpen(); }
    int32_t audioRate() const { return wav_.sampleRate(); }
    int64_t audioSamples() const { return wav_.samplesWritten(); }
    bool gpsOpen() const { return gpsFile_.isOpen(); }
    int64_t gpsRecords() const { return gpsRecords_; }

private:
    outcome setUpAudio(const decoderView& decoder);
    outcome openGpsFile();
    outcome setUpChannel(const sampleChannel& source);
    bool writeGlobalMeta();
    // Moves the complete key and value pairs of the lists to the scratch file.
    void spillMeta();

    runStatus* run_;
    handOff* beside_;  // outlives the writer
    // The current input file's metadata; endFile moves it on towards binaryData.meta.
    metaList metaKeys_;
    metaList metaValues_;
    std::vector<std::string> sourceFiles_;
    int32_t fileCounter_ = 0;
    int64_t processingStartTime_ = 0;
    std::string processingStartText_;
    boardIdentity qor2Info_;  // -1 until captured
    boardIdentity juxInfo_;
    bool identityCaptured_ = false;
    bool anyFileBegun_ = false;
    bool finished_ = false;
    std::string outputDir_;
    // binaryData.meta's lines of the files already ended, in order.
    scratchFile metaLines_;

    // References into the current input file's decoder; none between files.
    const sampleChannel* audioChannel_ = nullptr;
    const gpsRecordBuffer* gpsRecord_ = nullptr;

    outputFile gpsFile_;
    int64_t gpsRecords_ = 0;
    wavAudioFile wav_;
    std::vector<std::unique_ptr<outputChannel>> channels_;  // creation order
    // The channels bound to the current file with their sources, in creation order.
    std::vector<std::pair<const sampleChannel*, outputChannel*>> bound_;
    // The current file's decoder, and where each of its channels (by the number the
    // decoder gives it) is in bound_, -1 where it is not: a packet fills one or two
    // channels, and only those are looked at.
    std::optional<decoderView> decoder_;
    std::array<int8_t, numQor2Channels + numJuxChannels> boundAt_{};
    std::map<std::string, size_t> channelIndex_;  // long name -> position in channels_
};

}  // namespace sensconv
