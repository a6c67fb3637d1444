#pragma once

#include <string>

#include "codec/span_reader.hpp"

namespace ferromesh {

// The octets as UTF-8 text, each maximal ill-formed subpart replaced by
// U+FFFD (the same result as Python's bytes.decode("utf-8", "replace")).
std::string decode_utf8_lossy(ByteSpan octets);
// The same, telling whether anything was replaced.
std::string decode_utf8_lossy(ByteSpan octets, bool& replaced);

}  // namespace ferromesh
