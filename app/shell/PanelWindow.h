#pragma once

#include <QElapsedTimer>
#include <QQuickView>
#include <QVariantMap>
#include <memory>

class QAbstractNativeEventFilter;

namespace hh {

// The window that hosts the walkie panel. As a popup it is a frameless tool
// window under the status icon that closes itself when it loses focus (a
// window flagged as a popup would be left out of the accessibility tree).
// Where there is no tray it is a small normal window instead.
class PanelWindow : public QQuickView {
    Q_OBJECT
public:
    enum class Mode { popup, window };

    // `objects` are the panel's required properties (controller, networkInfo,
    // permissions, messages). A window has the menu button.
    PanelWindow(QQmlEngine* engine, const QVariantMap& objects, Mode mode);
    ~PanelWindow() override;

    Mode mode() const { return mode_; }
    // Opens under `anchor` (screen coordinates); an empty anchor means the pointer.
    void popUp(const QRect& anchor);
    // True for a short while after the panel closed itself because focus went
    // elsewhere: a click on the status icon that took the focus away must
    // not reopen it at once.
    bool justClosedByFocusLoss() const;
    bool isLoaded() const { return rootObject() != nullptr; }

signals:
    void quitRequested();
    // Window mode: the menu button asks for the program's menu at `position`
    // (screen coordinates), and closing the window asks what to do; the
    // window stays open until the answer.
    void menuRequested(QPoint position);
    void closeAsked();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool event(QEvent* event) override;

private slots:
    void requestMenu(QPointF position);
    void placeAgain();

private:
    void updateOnScreen();
    // Opens the panel wholly on its screen; grown while open, it stays put
    // while the room below its top holds what it needs at least, else moves up.
    void place();

    Mode mode_;
    bool wasActive_ = false;
    QElapsedTimer closedByFocusLoss_;
    QRect anchor_;
    // Keeps a keyboard grab from counting as focus lost (see PanelWindow.cpp).
    std::unique_ptr<QAbstractNativeEventFilter> grabFilter_;
};

} // namespace hh
