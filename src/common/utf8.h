// UTF-8 checks and lossy decoding of byte strings.
#pragma once

#include <string>
#include <string_view>

namespace ferrowick {

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// Returns `bytes` as UTF-8 text: well-formed sequences unchanged, every
// maximal ill-formed subpart replaced by one U+FFFD (the usual "substitution
// of maximal subparts", as Python's bytes.decode("utf-8", "replace")). Valid
// input is returned without copying.
std::string decode_utf8_lossy(std::string bytes);

}  // namespace ferrowick
