#pragma once

#include "app/adapters/AppBackend.h"
#include "app/shell/AppSettings.h"
#include "app/shell/PassphraseStore.h"
#include "app/shell/Autostart.h"
#include "app/shell/ColorScheme.h"
#include "app/shell/Symbols.h"

#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <memory>

class QAction;
class QMenu;
class QMessageBox;
class QQmlEngine;

namespace hh {

class PanelWindow;

// The tray program: the status icon and its menu, the walkie panel in a popup
// under it, the icon following who is talking and the mute switch, and a
// transport rebuild after each wake from sleep.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(AppBackend backend, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Builds the panel and the status item, starts the controller and
    // subscribes to its changes.
    void applicationDidFinishLaunching();

    void toggleMute();
    // The sound switches, applied to the controller and kept in the settings.
    void setCuesEnabled(bool enabled);
    void setNoiseSuppression(bool enabled);
    void openSettings();
    void quit();
    // The window (no tray) is being closed: asks whether to quit.
    void askToQuit();
    void togglePopover();
    // Shows the panel, wherever it was asked for (another launch of the program).
    void revealPanel();
    // "Start at login": writes or removes the user's autostart entry.
    void setStartAtLogin(bool isOn);
    void updateStatusIcon();
    void updateToolTip();

    StatusLook currentLook() const;
    // The panel, or null until it is first needed: its QML engine and scene
    // graph cost tens of megabytes that a program left in the tray never uses.
    PanelWindow* panel() const;
    // The panel, made now if it does not exist yet.
    PanelWindow* ensurePanel();
    QSystemTrayIcon* statusItem() const { return statusItem_; }
    QMenu* contextMenu() const { return menu_.get(); }
    AppSettings* settings() const { return settings_.get(); }

signals:
    // The panel was made (panel() is no longer null).
    void panelCreated();

public slots:
    // logind's PrepareForSleep: false means the computer has just woken up.
    void prepareForSleep(bool sleeping);

private:
    void buildMenu();
    void updateMenu();
    void showPanel(bool activate);
    // Applies the stored key, mute and name, and stores each later change.
    void restoreSettings();

    AppBackend backend_;
    std::unique_ptr<AppSettings> settings_;
    PassphraseStore passphrases_;
    MessageCenter messages_;
    // Light or dark, for the panel and the status icon.
    ColorScheme colorScheme_;
    std::unique_ptr<QQmlEngine> engine_;
    QPointer<PanelWindow> panel_;
    QPointer<QSystemTrayIcon> statusItem_;
    std::unique_ptr<QMenu> menu_;
    QPointer<QMessageBox> quitQuestion_;
    QAction* muteAction_ = nullptr;
    QAction* autostartAction_ = nullptr;
    AutostartEntry autostart_;
    QAction* cuesAction_ = nullptr;
    QAction* noiseSuppressionAction_ = nullptr;
    // The sound switches as loaded, for the menu built after restoreSettings().
    bool isCuesEnabled_ = true;
    bool isNoiseSuppressing_ = true;
    bool hasTray_ = false;
    bool isReplyHeld_ = false; // the reply key's press began a spurt
};

} // namespace hh
