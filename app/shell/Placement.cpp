#include "app/shell/Placement.h"

#include <algorithm>

namespace hh {

QPoint popupPosition(const QRect& anchor, const QSize& size, const QRect& available) {
    constexpr int gap = 4;
    int x = anchor.center().x() - size.width() / 2;
    int y = anchor.bottom() + 1 + gap;
    if (y + size.height() > available.bottom() + 1 && anchor.top() - gap - size.height() >= available.top())
        y = anchor.top() - gap - size.height();
    // Clamp: right/bottom edges first so the top-left corner wins on tiny screens.
    x = std::max(available.left(), std::min(x, available.right() + 1 - size.width()));
    y = std::max(available.top(), std::min(y, available.bottom() + 1 - size.height()));
    return {x, y};
}

} // namespace hh
