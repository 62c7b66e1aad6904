// Header reading over arbitrary bytes. Each input is read twice: from a stream that
// cannot tell its size (standard input reads so; memory grows only with the bytes that
// arrive) and from a regular file of known size (counts and sizes are held against the
// bytes left). Both must agree, and neither may hold more than the input carries.

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "container/snsrHeader.h"
#include "fuzzInputs.h"

namespace {

using sensconv::metaDataAtom;
using sensconv::snsrHeader;
using sensconv::snsrStream;

bool readFrom(std::FILE* file, snsrHeader& header) {
    FUZZ_CHECK(file != nullptr);
    header.file = file;
    const bool ok = sensconv::readHeader(header);
    std::fclose(file);
    header.file = nullptr;
    return ok;
}

bool sameAtoms(const std::vector<metaDataAtom>& a, const std::vector<metaDataAtom>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].id != b[i].id || a[i].type != b[i].type || a[i].size != b[i].size || a[i].data != b[i].data) return false;
    }
    return true;
}

// Bytes the header's content needs in the file: nothing can be held that was not read.
size_t encodedSize(const snsrHeader& header) {
    size_t total = 24;
    auto atomsSize = [](const std::vector<metaDataAtom>& atoms) {
        size_t sum = 0;
        for (const metaDataAtom& atom : atoms) {
            FUZZ_CHECK(atom.data.size() == atom.size);
            sum += 9 + atom.data.size();
        }
        return sum;
    };
    total += atomsSize(header.atoms);
    for (const snsrStream& stream : header.streams) total += 16 + atomsSize(stream.atoms);
    return total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    snsrHeader streamed;
    snsrHeader sized;
    const bool streamedOk = readFrom(sensconv::fuzzing::memoryStream(data, size), streamed);
    const bool sizedOk = readFrom(sensconv::fuzzing::sizedStream(data, size), sized);
    FUZZ_CHECK(streamedOk == sizedOk);
    if (!sizedOk) return 0;

    FUZZ_CHECK(streamed.fileStartTime == sized.fileStartTime);
    FUZZ_CHECK(streamed.num_atoms == sized.num_atoms && streamed.num_streams == sized.num_streams);
    FUZZ_CHECK(sameAtoms(streamed.atoms, sized.atoms));
    FUZZ_CHECK(streamed.streams.size() == sized.streams.size());
    for (size_t i = 0; i < sized.streams.size(); ++i) {
        const snsrStream& a = streamed.streams[i];
        const snsrStream& b = sized.streams[i];
        FUZZ_CHECK(a.type == b.type && a.id == b.id && a.ver == b.ver && a.len == b.len && a.packet_id == b.packet_id);
        FUZZ_CHECK(a.num_atoms == b.num_atoms && a._active == 1 && b._active == 1);
        FUZZ_CHECK(sameAtoms(a.atoms, b.atoms));
        FUZZ_CHECK(a.atoms.size() == static_cast<size_t>(a.num_atoms > 0 ? a.num_atoms : 0));
    }
    FUZZ_CHECK(sized.atoms.size() == static_cast<size_t>(sized.num_atoms > 0 ? sized.num_atoms : 0));
    FUZZ_CHECK(sized.streams.size() == static_cast<size_t>(sized.num_streams > 0 ? sized.num_streams : 0));
    FUZZ_CHECK(streamed.headerSize == sized.headerSize);
    FUZZ_CHECK(sized.headerSize >= 0 && static_cast<size_t>(sized.headerSize) <= size);
    FUZZ_CHECK(encodedSize(sized) == static_cast<size_t>(sized.headerSize));

    // The settings look-ups run on every header the decoder may be given.
    sensconv::loadJuxSettings(sized);
    sensconv::loadQor2Settings(sized);
    const sensconv::barometerCalibration& c = sized.calib_bar;
    FUZZ_CHECK(c.C1 >= 0 && c.C1 <= 32767 && c.C2 >= 0 && c.C2 <= 4095 && c.C3 >= 0 && c.C3 <= 1023);
    FUZZ_CHECK(c.C4 >= 0 && c.C4 <= 1023 && c.C5 >= 0 && c.C5 <= 2047 && c.C6 >= 0 && c.C6 <= 63);
    return 0;
}
