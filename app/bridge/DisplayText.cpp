#include "app/bridge/DisplayText.h"

#include <QChar>
#include <QList>

#include <algorithm>

namespace hh {

namespace {
// Enough for any real script's stacked accents; a run of hundreds draws
// through the lines above and below.
constexpr int maximumMarksPerCharacter = 3;
// No label shows more; beyond this the layout only costs time.
constexpr int maximumCharacters = 80;

bool isCombiningMark(char32_t c) {
    const auto category = QChar::category(c);
    return category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining ||
           category == QChar::Mark_Enclosing;
}
} // namespace

QString displayName(const QString& name, bool isolate) {
    QString out;
    out.reserve(std::min<qsizetype>(name.size(), maximumCharacters * 2) + 4);
    if (isolate) out += QChar(0x2068);  // FIRST STRONG ISOLATE
    int characters = 0;
    int marks = 0;
    bool isClipped = false;
    for (const uint codePoint : name.toUcs4()) {
        const char32_t c = codePoint;
        if (isCombiningMark(c)) {
            if (++marks > maximumMarksPerCharacter) continue;
            out += QString::fromUcs4(&c, 1);
            continue;
        }
        if (characters >= maximumCharacters) {
            isClipped = true;
            break;
        }
        marks = 0;
        const auto category = QChar::category(c);
        if (c < 0x20) {
            out += QChar(char16_t(0x2400 + c));  // the control pictures: ␀ … ␟
        } else if (c == 0x7F) {
            out += QChar(char16_t(0x2421));  // ␡
        } else if (category == QChar::Other_Control) {
            out += QChar(char16_t(0xFFFD));  // C1 controls have no pictures
        } else if (category == QChar::Separator_Line || category == QChar::Separator_Paragraph) {
            out += QChar(u' ');
        } else if (category == QChar::Other_Format) {
            // Direction overrides, embeddings, isolates and marks, invisible
            // joiners aside: the zero-width joiners build emoji and are harmless.
            if (c != 0x200C && c != 0x200D) continue;
            out += QString::fromUcs4(&c, 1);
        } else if (category == QChar::Other_Surrogate) {
            out += QChar(char16_t(0xFFFD));
        } else {
            out += QString::fromUcs4(&c, 1);
        }
        ++characters;
    }
    if (isClipped) out += QChar(0x2026);
    if (isolate) out += QChar(0x2069);  // POP DIRECTIONAL ISOLATE
    return out;
}

} // namespace hh
