#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

namespace hh {

// Where the panel opens: centred under the status icon (`anchor`, or a 1 × 1
// rectangle at the pointer when the tray gives no geometry), 4 pixels below
// it, above it when the icon sits at the bottom of the screen, and always
// inside the screen's available area.
QPoint popupPosition(const QRect& anchor, const QSize& size, const QRect& available);

} // namespace hh
