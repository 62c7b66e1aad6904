#pragma once
// The session metadata: two parallel, append-only lists of key and value texts.
// Producers (the writer's file markers, the reader's and the decoder's statistics)
// append a key and then its already formatted value.

#include <string>
#include <vector>

namespace sensconv {

using metaList = std::vector<std::string>;

inline void appendMeta(metaList& metaKeys, metaList& metaValues, std::string key, std::string value) {
    metaKeys.push_back(std::move(key));
    metaValues.push_back(std::move(value));
}

}  // namespace sensconv
