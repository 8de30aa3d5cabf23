#include "app/shell/Symbols.h"

#include <QFile>
#include <QHash>
#include <QPainter>
#include <QSvgRenderer>

namespace hh {

namespace {

QString themeNameFor(const QString& symbol) {
    static const QHash<QString, QString> names{
        {QStringLiteral("gearshape"), QStringLiteral("preferences-system")},
        {QStringLiteral("chevron.left"), QStringLiteral("go-previous")},
        {QStringLiteral("speaker.slash.fill"), QStringLiteral("audio-volume-muted")},
        {QStringLiteral("speaker.slash"), QStringLiteral("audio-volume-muted")},
        {QStringLiteral("speaker.wave.2.fill"), QStringLiteral("audio-volume-high")},
        {QStringLiteral("speaker.wave.2"), QStringLiteral("audio-volume-high")},
        {QStringLiteral("mic"), QStringLiteral("audio-input-microphone")},
        {QStringLiteral("mic.fill"), QStringLiteral("audio-input-microphone")},
        {QStringLiteral("exclamationmark.triangle.fill"), QStringLiteral("dialog-warning")},
        {QStringLiteral("wifi"), QStringLiteral("network-wireless")},
        {QStringLiteral("checkmark"), QStringLiteral("object-select")},
        {QStringLiteral("power"), QStringLiteral("system-shutdown")},
        {QStringLiteral("line.3.horizontal"), QStringLiteral("open-menu")},
    };
    return names.value(symbol);
}

QImage renderSvg(const QString& path, QSize size) {
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QSvgRenderer renderer(path);
    if (!renderer.isValid())
        return {};
    QPainter painter(&image);
    renderer.render(&painter);
    return image;
}

// Keeps the shape, replaces every colour: symbols are monochrome.
void tint(QImage& image, const QColor& color) {
    QPainter painter(&image);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), color);
}

} // namespace

namespace Symbols {

QStringList themeNames(const QString& symbol) {
    const QString name = themeNameFor(symbol);
    if (name.isEmpty())
        return {};
    return {name + QStringLiteral("-symbolic"), name};
}

QString fallbackPath(const QString& symbol) {
    const QString path = QStringLiteral(":/hollerhopper/icons/symbols/") + symbol + QStringLiteral(".svg");
    return QFile::exists(path) ? path : QString();
}

QIcon icon(const QString& symbol) {
    for (const QString& name : themeNames(symbol)) {
        if (QIcon::hasThemeIcon(name))
            return QIcon::fromTheme(name);
    }
    const QString path = fallbackPath(symbol);
    return path.isEmpty() ? QIcon() : QIcon(path);
}

QImage render(const QString& symbol, QSize size, const QColor& color) {
    if (size.isEmpty())
        size = QSize(24, 24);
    QImage image;
    for (const QString& name : themeNames(symbol)) {
        if (QIcon::hasThemeIcon(name)) {
            image = QIcon::fromTheme(name).pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
            break;
        }
    }
    if (image.isNull()) {
        const QString path = fallbackPath(symbol);
        if (path.isEmpty())
            return {};
        image = renderSvg(path, size);
        if (image.isNull())
            return {};
    }
    tint(image, color);
    return image;
}

} // namespace Symbols

QString statusIconName(StatusLook look) {
    switch (look) {
    case StatusLook::green: return QStringLiteral("walkie-green");
    case StatusLook::monoSlash: return QStringLiteral("walkie-mono-slash");
    case StatusLook::mono: break;
    }
    return QStringLiteral("walkie-mono");
}

QIcon statusIcon(StatusLook look, const QColor& monoColor, bool hasUnheard) {
    const QString path = QStringLiteral(":/hollerhopper/icons/") + statusIconName(look) + QStringLiteral(".svg");
    QIcon icon;
    for (int side : {16, 22, 24, 32, 48, 64}) {
        QImage image = renderSvg(path, QSize(side, side));
        if (image.isNull())
            return {};
        if (look != StatusLook::green)
            tint(image, monoColor);
        if (hasUnheard) {
            QPainter painter(&image);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setPen(Qt::NoPen);
            painter.setBrush(QColor(0xff, 0x9f, 0x0a));
            const qreal d = side * 0.4;
            painter.drawEllipse(QRectF(side - d, 0, d, d));
        }
        icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
}

QImage SymbolImageProvider::requestImage(const QString& id, QSize* size, const QSize& requestedSize) {
    // id: "<symbol>?<colour>", the colour in hex digits without its "#".
    const qsizetype mark = id.indexOf(QLatin1Char('?'));
    const QString symbol = mark < 0 ? id : id.left(mark);
    QColor color = mark < 0 ? QColor(Qt::black) : QColor::fromString(QLatin1Char('#') + id.mid(mark + 1));
    if (!color.isValid())
        color = Qt::black;
    QImage image = Symbols::render(symbol, requestedSize.isValid() ? requestedSize : QSize(24, 24), color);
    if (size)
        *size = image.size();
    return image;
}

} // namespace hh
