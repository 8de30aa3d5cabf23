#include "app/shell/PanelWindow.h"

#include "app/shell/Placement.h"

#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QQuickItem>
#include <QScreen>
#include <algorithm>

namespace hh {

PanelWindow::PanelWindow(QQmlEngine* engine, const QVariantMap& objects, Mode mode)
    : QQuickView(engine, nullptr), mode_(mode) {
    setTitle(QStringLiteral("Hollerhopper"));
    setResizeMode(QQuickView::SizeViewToRootObject);
    if (mode == Mode::popup)
        setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setInitialProperties(objects);
    setSource(QUrl(QStringLiteral("qrc:/hollerhopper/qml/WalkieView.qml")));
    connect(this, &QWindow::visibleChanged, this, &PanelWindow::updateOnScreen);
    // Escape in the panel (a key-capture field may keep it for itself).
    if (QQuickItem* root = rootObject(); root && mode == Mode::popup)
        connect(root, SIGNAL(closeRequested()), this, SLOT(hide()));
    if (QQuickItem* root = rootObject())
        connect(root, &QQuickItem::heightChanged, this, [this] {
            if (mode_ == Mode::popup && isVisible())
                place();
        });
    connect(this, &QWindow::activeChanged, this, [this] {
        if (isActive()) {
            wasActive_ = true;
        } else if (mode_ == Mode::popup && wasActive_ && isVisible()) {
            // Like a transient popover: a click elsewhere closes it.
            wasActive_ = false;
            closedByFocusLoss_.start();
            hide();
        }
    });
}

PanelWindow::~PanelWindow() {
    // QWindow's destructor hides the window and so signals again, when this
    // part of the object is already gone.
    disconnect(this, nullptr, this, nullptr);
}

void PanelWindow::updateOnScreen() {
    if (QQuickItem* root = rootObject())
        root->setProperty("onScreen", isVisible());
    if (!isVisible())
        wasActive_ = false;
}

void PanelWindow::popUp(const QRect& anchor) {
    anchor_ = anchor.isEmpty() ? QRect(QCursor::pos(), QSize(1, 1)) : anchor;
    place();
    show();
    raise();
    requestActivate();
}

void PanelWindow::place() {
    QScreen* screen = QGuiApplication::screenAt(anchor_.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect available = screen->availableGeometry();
    QQuickItem* root = rootObject();
    if (isVisible()) {
        // Grown while open: it stays where it is, so nothing in it moves
        // under the pointer; what no longer fits on the screen scrolls in the list.
        if (root)
            root->setProperty("maximumHeight", std::min(available.height(), available.bottom() + 1 - y()));
        return;
    }
    QSize size = this->size();
    if (root) {
        // Never taller than the screen's available area: the peer list
        // scrolls inside instead.
        root->setProperty("maximumHeight", available.height());
        size = QSize(int(root->width()), int(root->height()));
    }
    setPosition(popupPosition(anchor_, size, available));
}

bool PanelWindow::justClosedByFocusLoss() const {
    return closedByFocusLoss_.isValid() && closedByFocusLoss_.elapsed() < 400;
}

void PanelWindow::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Quit) || (event->key() == Qt::Key_Q && event->modifiers() == Qt::ControlModifier)) {
        emit quitRequested();
        return;
    }
    QQuickView::keyPressEvent(event);
    if (!event->isAccepted() && event->key() == Qt::Key_Escape && mode_ == Mode::popup)
        hide(); // nothing in the panel had the focus
}

bool PanelWindow::event(QEvent* event) {
    // The fallback window is the program's only presence: closing it quits.
    if (event->type() == QEvent::Close && mode_ == Mode::window)
        emit quitRequested();
    return QQuickView::event(event);
}

} // namespace hh
