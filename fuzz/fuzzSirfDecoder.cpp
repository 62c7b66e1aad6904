// The GPS receiver protocol decoder over arbitrary bytes. Input: one byte choosing the
// chunk sizes, then the receiver's bytes. The bytes are decoded twice, in one piece and
// in chunks (each chunk a record of its own): the messages found, their contents and
// every counter must not depend on where the records cut the stream, and each message
// must name a record at or before the one that completed it.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "decode/sirfDecoder.h"
#include "fuzzInputs.h"

namespace {

struct collector final : sensconv::sirfNavigationSink {
    std::vector<sensconv::gpsNavigation> messages;
    int64_t currentRecord = 0;
    void navigation(const sensconv::gpsNavigation& m) override {
        FUZZ_CHECK(m.message == 2 || m.message == 41);
        FUZZ_CHECK(m.tag.record <= currentRecord);
        messages.push_back(m);
    }
};

bool sameContents(const sensconv::gpsNavigation& a, const sensconv::gpsNavigation& b) {
    const auto same = [](double x, double y) { return x == y || (x != x && y != y); };
    return a.message == b.message && a.fix == b.fix && a.gpsMs == b.gpsMs && a.utcMs == b.utcMs &&
           same(a.latitudeDeg, b.latitudeDeg) && same(a.longitudeDeg, b.longitudeDeg) &&
           same(a.heightEllipsoidM, b.heightEllipsoidM) && a.satellites == b.satellites && a.fixType == b.fixType;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t chunk = 1 + data[0] % 97;
    const std::span<const uint8_t> bytes(data + 1, size - 1);

    collector whole;
    sensconv::sirfDecoder one(whole);
    one.setReferenceTime(1741944600000);
    one.feed(bytes, sensconv::sirfRecordTag{});
    one.finish();

    collector pieces;
    sensconv::sirfDecoder many(pieces);
    many.setReferenceTime(1741944600000);
    for (size_t at = 0; at < bytes.size(); at += chunk) {
        pieces.currentRecord = static_cast<int64_t>(at / chunk);
        many.feed(bytes.subspan(at, std::min(chunk, bytes.size() - at)), sensconv::sirfRecordTag{pieces.currentRecord, 0, 0});
    }
    many.finish();

    const sensconv::sirfCounters& a = one.counters();
    const sensconv::sirfCounters& b = many.counters();
    FUZZ_CHECK(a.frames == b.frames && a.badChecksumFrames == b.badChecksumFrames && a.badFrames == b.badFrames &&
               a.unknownMessages == b.unknownMessages && a.skippedBytes == b.skippedBytes);
    FUZZ_CHECK(a.frames >= 0 && a.badFrames >= 0 && a.skippedBytes <= static_cast<int64_t>(bytes.size()));
    FUZZ_CHECK(whole.messages.size() == pieces.messages.size());
    for (size_t i = 0; i < whole.messages.size(); ++i) FUZZ_CHECK(sameContents(whole.messages[i], pieces.messages[i]));
    return 0;
}
