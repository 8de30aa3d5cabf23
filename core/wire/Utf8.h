#pragma once

#include <string_view>

namespace hh {

// Whether `bytes` is well-formed UTF-8: no stray or missing continuation bytes,
// no overlong forms, no surrogates, nothing past U+10FFFF. Names arrive from the
// network as raw bytes and are only shown when this holds.
bool isValidUtf8(std::string_view bytes);

} // namespace hh
