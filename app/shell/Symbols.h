#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QQuickImageProvider>
#include <QSize>
#include <QString>

namespace hh {

// Symbols by the names the panels use ("gearshape", "mic.fill", ...): the
// nearest freedesktop icon-theme icon when the desktop's theme has one, else
// our own artwork, so every symbol shows on any desktop.
namespace Symbols {

// The icon-theme names tried for a symbol, most specific first.
QStringList themeNames(const QString& symbol);
// Our own artwork for a symbol, as a resource path; empty for unknown names.
QString fallbackPath(const QString& symbol);
QIcon icon(const QString& symbol);
// The symbol drawn in one colour, as the panels show it.
QImage render(const QString& symbol, QSize size, const QColor& color);

} // namespace Symbols

// The three looks of the status icon.
enum class StatusLook { green, mono, monoSlash };

// The status icon's name in the icon theme (installed in hicolor): symbolic,
// so panels that recolour symbolic icons draw it in their own text colour,
// and the variant made for dark panels while the desktop prefers dark.
QString statusIconName(StatusLook look, bool isDark);
// The status icon under that name, with our own pixels for panels that do
// not look the name up: the mono looks as a light glyph when the desktop is
// dark and a dark one when it is light, each edged in the other colour so it
// shows on a black and on a white panel alike. With `hasUnheard`, a dot in
// the corner (messages came while muted), and our pixels only.
QIcon statusIcon(StatusLook look, bool isDark, bool hasUnheard = false);

// "image://symbol/<name>?<colour>" for QML.
class SymbolImageProvider : public QQuickImageProvider {
public:
    SymbolImageProvider() : QQuickImageProvider(QQuickImageProvider::Image) {}
    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;
};

} // namespace hh
