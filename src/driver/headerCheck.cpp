#include "driver/headerCheck.h"

#include <cstdint>
#include <cstdio>

#include "common/littleEndian.h"
#include "common/textFormat.h"
#include "container/packetReader.h"
#include "driver/driverMessages.h"

namespace sensconv {

namespace {

namespace msg = driverMessages;

const char* typeName(int32_t type) {
    return type >= 0 && type < numStreamTypeNames ? streamTypeNames[static_cast<size_t>(type)] : "UNKNOWN";
}

// The value of an atom is read from its first bytes; an atom shorter than the value
// counts with the bytes it has and zeros for the rest, so an empty atom is never read
// past its end.
uint8_t firstByte(const metaDataAtom& atom) {
    return atom.data.empty() ? 0 : atom.data.front();
}

int32_t leadingInteger(const metaDataAtom& atom) {
    uint8_t raw[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < sizeof raw && i < atom.data.size(); ++i) raw[i] = atom.data[i];
    return static_cast<int32_t>(readLE32(raw));
}

char tagByte(uint32_t id, int index) {
    return static_cast<char>((id >> (8 * index)) & 0xFF);
}

// Address of element k of a list, or null where the list does not reach k. With the
// header's owned lists the counts always match the lists, so the "NULL" reports below
// cannot arise from a header that was read from a file.
template <typename element>
const void* elementAt(const std::vector<element>& list, int32_t k) {
    return k >= 0 && static_cast<size_t>(k) < list.size() ? static_cast<const void*>(&list[static_cast<size_t>(k)])
                                                          : nullptr;
}

// One side of a "NULL" report: whether its list reaches the element, not where the
// element lies, so that the same files give the same lines on every run.
const char* presence(const void* element) {
    return element != nullptr ? "(present)" : "(nil)";
}

}  // namespace

bool compareAtoms(const metaDataAtom& x, const metaDataAtom& y, const std::string& prefix,
                  const std::string& context) {
    const char* p = prefix.c_str();
    const char* c = context.c_str();
    if (x.id != y.id) {
        std::fprintf(stderr, msg::atomFieldsDifferMark, p, c);
        std::fprintf(stderr, msg::atomIdsDiffer, p, x.id, tagByte(x.id, 0), tagByte(x.id, 1), tagByte(x.id, 2),
                     tagByte(x.id, 3), y.id, tagByte(y.id, 0), tagByte(y.id, 1), tagByte(y.id, 2), tagByte(y.id, 3));
        return false;
    }
    if (x.type != y.type) {
        std::fprintf(stderr, msg::atomFieldsDifferMark, p, c);
        std::fprintf(stderr, msg::atomTypesDiffer, p, x.type, y.type);
        return false;
    }
    // An atom's data is an owned list, possibly empty, never missing: the "NULL data
    // field" report of a missing list has no case here.
    if (x.type == 'c') {
        if (firstByte(x) == firstByte(y)) return true;
        std::fprintf(stderr, msg::atomFieldsDiffer, p, c);
        std::fprintf(stderr, msg::atomCharsDiffer, p, firstByte(x), firstByte(y));
        return false;
    }
    if (x.type == 'i') {
        if (leadingInteger(x) == leadingInteger(y)) return true;
        std::fprintf(stderr, msg::atomFieldsDiffer, p, c);
        std::fprintf(stderr, msg::atomIntsDiffer, p, leadingInteger(x), leadingInteger(y));
        return false;
    }
    std::fprintf(stderr, msg::atomUnknownType, p, c);
    return false;
}

bool compareHeaders(const snsrHeader& a, const snsrHeader& b, const std::string& prefix) {
    const char* p = prefix.c_str();
    if (a.num_streams != b.num_streams || a.num_atoms != b.num_atoms) {
        std::fprintf(stderr, msg::headerFieldsDiffer, p);
        std::fprintf(stderr, msg::headerNumStreams, p, a.num_streams, b.num_streams);
        std::fprintf(stderr, msg::headerNumAtoms, p, a.num_atoms, b.num_atoms);
        return false;
    }

    // A differing value of the header's own atoms is reported, but files recorded with
    // other settings still convert together.
    for (int32_t k = 0; k < a.num_atoms; ++k) {
        const void* atomA = elementAt(a.atoms, k);
        const void* atomB = elementAt(b.atoms, k);
        if (atomA == nullptr || atomB == nullptr) {
            std::fprintf(stderr, msg::headerAtomsDiffer, p);
            std::fprintf(stderr, msg::headerAtomsNull, p, presence(atomA), presence(atomB));
            return false;
        }
        compareAtoms(a.atoms[static_cast<size_t>(k)], b.atoms[static_cast<size_t>(k)], prefix,
                     msg::headerAtomContext);
    }

    for (int32_t j = 0; j < a.num_streams; ++j) {
        const void* streamA = elementAt(a.streams, j);
        const void* streamB = elementAt(b.streams, j);
        if (streamA == nullptr || streamB == nullptr) {
            std::fprintf(stderr, msg::headerAtomsDiffer, p);
            std::fprintf(stderr, msg::streamNull, p, static_cast<int>(j), presence(streamA), presence(streamB));
            return false;
        }
        const snsrStream& x = a.streams[static_cast<size_t>(j)];
        const snsrStream& y = b.streams[static_cast<size_t>(j)];
        const char* name = typeName(x.type);

        // id, len and _active are shown for the reader of the report but do not decide.
        if (x.type != y.type || x.ver != y.ver || x.num_atoms != y.num_atoms) {
            std::fprintf(stderr, msg::headerFieldsDiffer, p);
            std::fprintf(stderr, msg::streamType, p, name, typeName(x.type), typeName(y.type));
            std::fprintf(stderr, msg::streamId, p, name, x.id, y.id);
            std::fprintf(stderr, msg::streamVer, p, name, static_cast<int>(x.ver), static_cast<int>(y.ver));
            std::fprintf(stderr, msg::streamLen, p, name, static_cast<int>(x.len), static_cast<int>(y.len));
            std::fprintf(stderr, msg::streamNumAtoms, p, name, x.num_atoms, y.num_atoms);
            std::fprintf(stderr, msg::streamActive, p, name, x._active, y._active);
            return false;
        }

        for (int32_t k = 0; k < x.num_atoms; ++k) {
            const void* atomX = elementAt(x.atoms, k);
            const void* atomY = elementAt(y.atoms, k);
            if (atomX == nullptr || atomY == nullptr) {
                std::fprintf(stderr, msg::headerAtomsDiffer, p);
                std::fprintf(stderr, msg::streamAtomNull, p, name, static_cast<int>(k), presence(atomX), presence(atomY));
                return false;
            }
            const std::string atomPrefix = formatText(msg::streamAtomPrefix, p, name, static_cast<int>(k));
            if (!compareAtoms(x.atoms[static_cast<size_t>(k)], y.atoms[static_cast<size_t>(k)], atomPrefix, "")) {
                return false;
            }
        }
    }
    return true;
}

bool checkFileHeaders(const std::vector<std::string>& inputFiles) {
    if (inputFiles.size() < 2) return true;
    std::fprintf(stderr, msg::comparingHeaders);

    // Headers only: these readers never read a packet and leave no trace files.
    packetReader first(inputFiles.front());
    if (!first.fileOk()) {
        std::fprintf(stderr, msg::firstFileUnreadable, inputFiles.front().c_str());
        std::fprintf(stderr, msg::exiting);
        return false;
    }
    for (size_t i = 1; i < inputFiles.size(); ++i) {
        packetReader other(inputFiles[i]);
        if (!other.fileOk()) {
            std::fprintf(stderr, msg::otherFileUnreadable, inputFiles[i].c_str());
            std::fprintf(stderr, msg::exiting);
            return false;
        }
        const std::string prefix = formatText(msg::headerFilePrefix, static_cast<int>(i + 1));
        if (!compareHeaders(*first.header(), *other.header(), prefix)) {
            std::fprintf(stderr, msg::exiting);
            return false;
        }
    }
    return true;
}

}  // namespace sensconv
