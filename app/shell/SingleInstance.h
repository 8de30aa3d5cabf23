#pragma once

#include <QString>
#include <chrono>
#include <functional>
#include <memory>

class QLocalServer;

namespace hh {

// One tray program per display. The first copy holds a lock file in the
// user's runtime directory, keyed by the display, and listens on a local
// socket beside it; a later copy finds the lock taken, asks the first over the
// socket to show its panel, and ends. Works the same with or without a
// session bus. The kernel drops the lock when its holder exits, however it exits.
class SingleInstance {
public:
    enum class Role { first, second };

    // Takes the lock if it is free. The first copy also binds its socket here,
    // before the event loop runs, so a second copy started meanwhile is queued
    // rather than refused.
    SingleInstance(const QString& directory, const QString& displayKey);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    Role role() const { return role_; }
    QString lockPath() const { return base_ + QStringLiteral(".lock"); }
    QString socketPath() const { return base_ + QStringLiteral(".socket"); }

    // First copy: called on the Qt event loop for each later launch.
    std::function<void()> onShowPanel;
    // First copy, once the QApplication exists: serves the socket.
    void start();

    // Second copy: asks the first to show its panel; true once it answers.
    bool askToShowPanel(std::chrono::milliseconds timeout) const;
    // Second copy: asks, says what happened, and gives the exit status.
    int handOver() const;

    // $XDG_RUNTIME_DIR, else a private directory under /tmp.
    static QString runtimeDirectory();
    // The display this program shows on ($WAYLAND_DISPLAY, else $DISPLAY
    // without its screen number), as a file-name part.
    static QString displayKey();

private:
    QString base_;
    Role role_ = Role::first;
    int lockFd_ = -1;
    int listenFd_ = -1;
    std::unique_ptr<QLocalServer> server_;
};

} // namespace hh
