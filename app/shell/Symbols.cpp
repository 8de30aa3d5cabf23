#include "app/shell/Symbols.h"

#include <QFile>
#include <QHash>
#include <QIconEngine>
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

namespace {

// A themed name over our own pixmaps: the status notifier item passes the
// name on to the panel and the pixmaps as its fallback.
class NamedIconEngine : public QIconEngine {
public:
    NamedIconEngine(QString name, QIcon pixmaps) : name_(std::move(name)), pixmaps_(std::move(pixmaps)) {}
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
        pixmaps_.paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return pixmaps_.pixmap(size, mode, state);
    }
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return pixmaps_.actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
        return pixmaps_.availableSizes(mode, state);
    }
    QString iconName() override { return name_; }
    QString key() const override { return QStringLiteral("hollerhopper-status"); }
    QIconEngine* clone() const override { return new NamedIconEngine(name_, pixmaps_); }

private:
    QString name_;
    QIcon pixmaps_;
};

// The glyph in `color` over a rim of `edge` one pixel (two from 48 up) wide.
QImage edged(const QImage& glyph, const QColor& color, const QColor& edge) {
    QImage rim = glyph, face = glyph;
    tint(rim, edge);
    tint(face, color);
    QImage out(glyph.size(), QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter painter(&out);
    const int width = glyph.width() >= 48 ? 2 : 1;
    for (int dx = -width; dx <= width; ++dx)
        for (int dy = -width; dy <= width; ++dy)
            painter.drawImage(dx, dy, rim);
    painter.drawImage(0, 0, face);
    return out;
}

} // namespace

QString statusIconName(StatusLook look, bool isDark) {
    const QString variant = isDark ? QStringLiteral("-dark") : QString();
    switch (look) {
    case StatusLook::green: return QStringLiteral("hollerhopper-talking");
    case StatusLook::monoSlash: return QStringLiteral("hollerhopper-muted") + variant + QStringLiteral("-symbolic");
    case StatusLook::mono: break;
    }
    return QStringLiteral("hollerhopper-idle") + variant + QStringLiteral("-symbolic");
}

QIcon statusIcon(StatusLook look, bool isDark, bool hasUnheard) {
    const QString name = statusIconName(look, isDark);
    const QString path = QStringLiteral(":/hollerhopper/icons/status/") + statusIconName(look, false) + QStringLiteral(".svg");
    const QColor light(0xf2, 0xf2, 0xf2), dark(0x1d, 0x1d, 0x1f);
    QIcon pixmaps;
    for (int side : {16, 22, 24, 32, 48, 64}) {
        QImage image = renderSvg(path, QSize(side, side));
        if (image.isNull())
            return {};
        if (look != StatusLook::green)
            image = isDark ? edged(image, light, dark) : edged(image, dark, light);
        if (hasUnheard) {
            QPainter painter(&image);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setPen(Qt::NoPen);
            painter.setBrush(QColor(0xff, 0x9f, 0x0a));
            const qreal d = side * 0.4;
            painter.drawEllipse(QRectF(side - d, 0, d, d));
        }
        pixmaps.addPixmap(QPixmap::fromImage(image));
    }
    // The dot is only in our pixels: no name then, so no panel draws the icon without it.
    return hasUnheard ? pixmaps : QIcon(new NamedIconEngine(name, pixmaps));
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
