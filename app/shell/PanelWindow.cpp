#include "app/shell/PanelWindow.h"

#include "app/shell/Placement.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QQuickItem>
#include <QScreen>
#include <algorithm>
#include <cmath>
#include <xcb/xcb.h>

namespace hh {

namespace {

// A key grab (ours while the push-to-talk key is held, or the desktop's own
// shortcuts) sends the focused window a FocusOut with mode NotifyGrab, and
// Qt takes it for the window losing focus: the popup would close the moment
// the talker starts. The keyboard comes back when the grab ends, so such a
// FocusOut is no click elsewhere and never reaches Qt. A real change of
// focus, during a grab or not, has another mode and still does.
class GrabFocusFilter final : public QAbstractNativeEventFilter {
public:
    explicit GrabFocusFilter(const QWindow& window) : window_(window) {
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    ~GrabFocusFilter() override { QCoreApplication::instance()->removeNativeEventFilter(this); }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        if (eventType != "xcb_generic_event_t")
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) != XCB_FOCUS_OUT)
            return false;
        const auto* focus = static_cast<const xcb_focus_out_event_t*>(message);
        return focus->mode == XCB_NOTIFY_MODE_GRAB && window_.handle() && focus->event == window_.winId();
    }

private:
    const QWindow& window_;
};

} // namespace

PanelWindow::PanelWindow(QQmlEngine* engine, const QVariantMap& objects, Mode mode)
    : QQuickView(engine, nullptr), mode_(mode) {
    setTitle(QStringLiteral("Hollerhopper"));
    setResizeMode(QQuickView::SizeViewToRootObject);
    if (mode == Mode::popup)
        setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    QVariantMap properties = objects;
    properties.insert(QStringLiteral("hasMenu"), mode == Mode::window);
    setInitialProperties(properties);
    setSource(QUrl(QStringLiteral("qrc:/hollerhopper/qml/WalkieView.qml")));
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        grabFilter_ = std::make_unique<GrabFocusFilter>(*this);
    connect(this, &QWindow::visibleChanged, this, &PanelWindow::updateOnScreen);
    // Escape in the panel (a key-capture field may keep it for itself).
    if (QQuickItem* root = rootObject(); root && mode == Mode::popup)
        connect(root, SIGNAL(closeRequested()), this, SLOT(hide()));
    if (QQuickItem* root = rootObject(); root && mode == Mode::window)
        connect(root, SIGNAL(menuRequested(QPointF)), this, SLOT(requestMenu(QPointF)));
    // Open, the panel is placed again as it grows or needs more room.
    // Queued: placing sets its maximumHeight, which its height follows; set
    // while that height is being written, it would loop.
    if (QQuickItem* root = rootObject(); root && mode == Mode::popup) {
        connect(root, SIGNAL(heightChanged()), this, SLOT(placeAgain()), Qt::QueuedConnection);
        connect(root, SIGNAL(minimumHeightChanged()), this, SLOT(placeAgain()), Qt::QueuedConnection);
    }
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
    // Reopened at once, Qt may still count the window as active (the focus
    // it lost when hidden had no time to count): no change of activity comes,
    // so take it as it stands.
    wasActive_ = isVisible() && isActive();
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
    if (!root) {
        if (!isVisible())
            setPosition(popupPosition(anchor_, size(), available));
        return;
    }
    if (!isVisible()) {
        // Never taller than the screen's available area: the lists scroll
        // inside instead.
        root->setProperty("maximumHeight", available.height());
        setPosition(popupPosition(anchor_, QSize(int(root->width()), int(root->height())), available));
    }
    // Grown while open (a message came) it stays where it is, so nothing in
    // it moves under the pointer: the lists give up room instead, down to
    // what keeps both in reach; past that it moves up, just enough to stay on
    // the screen.
    const int below = available.bottom() + 1 - y();
    const int least = int(std::ceil(root->property("minimumHeight").toReal()));
    root->setProperty("maximumHeight", std::min(available.height(), std::max(below, least)));
    if (const int height = int(std::ceil(root->height())); y() + height > available.bottom() + 1)
        setY(available.bottom() + 1 - height);
}

void PanelWindow::placeAgain() {
    if (isVisible())
        place();
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

void PanelWindow::requestMenu(QPointF position) {
    emit menuRequested(position.toPoint());
}

bool PanelWindow::event(QEvent* event) {
    // The window is the program's only presence: whoever owns it decides
    // whether closing it quits.
    if (event->type() == QEvent::Close && mode_ == Mode::window) {
        event->ignore();
        emit closeAsked();
        return true;
    }
    return QQuickView::event(event);
}

} // namespace hh
