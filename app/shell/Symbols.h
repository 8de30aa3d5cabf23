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

// "walkie-green" in its own colours; the mono looks tinted with `monoColor`,
// the colour of the desktop's panel text, as template images are. With
// `hasUnheard`, a dot in the corner: messages came while muted.
QIcon statusIcon(StatusLook look, const QColor& monoColor, bool hasUnheard = false);
QString statusIconName(StatusLook look);

// "image://symbol/<name>?<colour>" for QML.
class SymbolImageProvider : public QQuickImageProvider {
public:
    SymbolImageProvider() : QQuickImageProvider(QQuickImageProvider::Image) {}
    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;
};

} // namespace hh
