// Text that must be UTF-8 (Arrow's utf8 columns) made from bytes that may not
// be: a directory path given through the file system's encoding can hold any
// bytes.
#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

// The bytes as UTF-8, each maximal invalid subsequence replaced by U+FFFD:
// the same text as Python's bytes.decode("utf-8", "replace"), which is how
// RawLevelDb gives a record's origin_file.
std::string utf8_text(std::string_view bytes);

}  // namespace tarnwick
