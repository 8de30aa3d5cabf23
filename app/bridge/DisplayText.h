#pragma once

#include <QString>

namespace hh {

// A name received from the network, made safe to show among our own words:
// isolated for bidirectional text (it can reverse only itself), explicit
// direction controls and other format characters removed, control characters
// shown as visible symbols, line breaks turned into spaces, runs of combining
// marks cut to a few per character, and its length bounded. Shown on one line,
// clipped and elided by the label. Without `isolate`, the same text without
// the isolating marks, for screen readers and tests that read it back.
QString displayName(const QString& name, bool isolate = true);

} // namespace hh
