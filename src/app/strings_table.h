// The embedded string table, generated at build time from res/strings.tsv.
#pragma once

#include <cstddef>

namespace velmora::detail {

struct StringEntry {
  int id;
  const char* text;
};

// Sorted by id, ids unique.
extern const StringEntry kStringTable[];
extern const std::size_t kStringTableSize;

}  // namespace velmora::detail
