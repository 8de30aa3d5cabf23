#pragma once

namespace hh {

// Puts the Qt side on the core's log: categories named "hollerhopper.*" are
// enabled by the HH_LOG level (critical and fatal as error), and their
// messages are written as the core's lines are, under the part after the dot.
// Other categories keep Qt's own filter and output. Call once in main().
void installQtLogBridge();

} // namespace hh
