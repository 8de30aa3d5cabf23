#include "app/shell/AppDelegate.h"

#include "app/shell/Logging.h"
#include "app/shell/PanelWindow.h"

#include <QAction>
#include <QCoreApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QGuiApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QTimer>

#include <utility>

namespace hh {

AppDelegate::AppDelegate(AppBackend backend, QObject* parent)
    : QObject(parent), backend_(std::move(backend)), autostart_(QCoreApplication::applicationFilePath()) {}

AppDelegate::~AppDelegate() {
    delete quitQuestion_;
    delete statusItem_;
    delete panel_;
}

void AppDelegate::applicationDidFinishLaunching() {
    hasTray_ = QSystemTrayIcon::isSystemTrayAvailable();
    restoreSettings();
    buildMenu();
    if (hasTray_) {
        QGuiApplication::setQuitOnLastWindowClosed(false);
        statusItem_ = new QSystemTrayIcon(this);
        statusItem_->setToolTip(QStringLiteral("Hollerhopper"));
        statusItem_->setContextMenu(menu_.get());
        connect(statusItem_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason != QSystemTrayIcon::Trigger)
                return; // the context menu is shown by the tray itself
            if (QGuiApplication::keyboardModifiers() & Qt::ControlModifier)
                menu_->popup(QCursor::pos()); // control-click is a right click
            else
                togglePopover();
        });
    }

    // Before the first icon, so it is drawn once for the desktop's scheme.
    colorScheme_.start();
    ControllerObject* controller = backend_.controller.get();
    controller->start();
    updateStatusIcon();
    if (statusItem_)
        statusItem_->show();

    // Wake from sleep: rebuild the multicast group on the event loop.
    QDBusConnection::systemBus().connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                                         QStringLiteral("org.freedesktop.login1.Manager"),
                                         QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));

    connect(controller, &ControllerObject::isTransmittingChanged, this, &AppDelegate::updateStatusIcon);
    connect(controller, &ControllerObject::talkingPeerChanged, this, &AppDelegate::updateStatusIcon);
    connect(controller, &ControllerObject::isMutedChanged, this, &AppDelegate::updateStatusIcon);
    connect(controller, &ControllerObject::recentMessagesChanged, this, &AppDelegate::updateStatusIcon);
    connect(controller, &ControllerObject::isMutedChanged, this, &AppDelegate::updateMenu);
    connect(controller, &ControllerObject::connectionStateChanged, this, &AppDelegate::updateToolTip);
    connect(controller, &ControllerObject::talkingPeerChanged, this, &AppDelegate::updateToolTip);
    connect(controller, &ControllerObject::isTransmittingChanged, this, &AppDelegate::updateToolTip);
    if (HotkeyObject* hotkey = backend_.hotkey.get())
        connect(hotkey, &HotkeyObject::statusChanged, this, &AppDelegate::updateToolTip);
    updateToolTip();
    // The mono icons follow the desktop's light or dark, also when it changes.
    connect(&colorScheme_, &ColorScheme::changed, this, &AppDelegate::updateStatusIcon);

    if (!hasTray_) {
        qCInfo(logShell) << "no system tray found; showing the panel in a window instead";
        showPanel(true);
    }
}

void AppDelegate::restoreSettings() {
    settings_ = std::make_unique<AppSettings>();
    const AppSettings::Values values = settings_->load();
    ControllerObject* controller = backend_.controller.get();
    const QString computerName = controller->displayName();
    if (!values.name.isEmpty())
        controller->setDisplayName(values.name);
    if (values.isMuted != controller->isMuted())
        controller->setMuted(values.isMuted);
    // Before the first press.
    controller->setCuesEnabled(values.isCuesEnabled);
    controller->setNoiseSuppression(values.isNoiseSuppressing);
    if (values.channel != controller->channelName()) {
        if (const auto passphrase = passphrases_.load(values.channel))
            controller->setChannel(values.channel, *passphrase);
        else
            qCWarning(logShell).noquote() << "no passphrase kept for the channel" << values.channel
                                          << "- on Everyone until it is given again in Settings";
    }
    connect(controller, &ControllerObject::channelChosen, this, [this](const QString& name, const QString& passphrase) {
        settings_->setChannel(name);
        passphrases_.store(name, passphrase);
    });
    isCuesEnabled_ = values.isCuesEnabled;
    isNoiseSuppressing_ = values.isNoiseSuppressing;
    // The computer's name is stored as no name, so a renamed computer is followed.
    connect(controller, &ControllerObject::displayNameChanged, this, [this, controller, computerName] {
        settings_->setName(controller->displayName() == computerName ? QString() : controller->displayName());
    });
    connect(controller, &ControllerObject::isMutedChanged, this,
            [this, controller] { settings_->setMuted(controller->isMuted()); });
    if (HotkeyObject* hotkey = backend_.hotkey.get()) {
        connect(hotkey, &HotkeyObject::pressed, controller, &ControllerObject::beginTalking);
        connect(hotkey, &HotkeyObject::released, controller, &ControllerObject::endTalking);
        hotkey->setKey(values.key);
        connect(hotkey, &HotkeyObject::keyChanged, this, [this, hotkey] { settings_->setKey(hotkey->key()); });
    }
    // Held, the reply key is the panel's Reply button held: refused, the panel
    // says why (the failed cue is the controller's).
    if (HotkeyObject* reply = backend_.replyHotkey.get()) {
        connect(reply, &HotkeyObject::pressed, this, [this, controller] {
            const QString refusal = controller->beginReply();
            isReplyHeld_ = refusal.isEmpty();
            if (!isReplyHeld_)
                messages_.post(QStringLiteral("walkieReplyRefused:") + refusal);
        });
        connect(reply, &HotkeyObject::released, this, [this, controller] {
            if (std::exchange(isReplyHeld_, false))
                controller->endTalking();
        });
        reply->setKey(values.replyKey);
        connect(reply, &HotkeyObject::keyChanged, this, [this, reply] { settings_->setReplyKey(reply->key()); });
    }
}

PanelWindow* AppDelegate::panel() const {
    return panel_.data();
}

PanelWindow* AppDelegate::ensurePanel() {
    if (panel_)
        return panel_;
    if (!engine_) {
        // The panel is small and plain: drawn in software it opens at once
        // and keeps no OpenGL driver in memory (Mesa's software rasterizer
        // maps about 50 MB and takes a few hundred ms to load on a busy
        // machine). QT_QUICK_BACKEND still chooses otherwise.
        if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND") && qEnvironmentVariableIsEmpty("QSG_RHI_BACKEND"))
            QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
        engine_ = std::make_unique<QQmlEngine>();
        engine_->addImageProvider(QStringLiteral("symbol"), new SymbolImageProvider);
    }
    const QVariantMap objects{
        {QStringLiteral("hotkey"), QVariant::fromValue<QObject*>(backend_.hotkey.get())},
        {QStringLiteral("replyHotkey"), QVariant::fromValue<QObject*>(backend_.replyHotkey.get())},
        {QStringLiteral("preferences"), QVariant::fromValue<QObject*>(settings_.get())},
        {QStringLiteral("controller"), QVariant::fromValue<QObject*>(backend_.controller.get())},
        {QStringLiteral("networkInfo"), QVariant::fromValue<QObject*>(backend_.networkName.get())},
        {QStringLiteral("permissions"), QVariant::fromValue<QObject*>(backend_.permissions.get())},
        {QStringLiteral("messages"), QVariant::fromValue<QObject*>(&messages_)},
        {QStringLiteral("appearance"), QVariant::fromValue<QObject*>(&colorScheme_)},
    };
    panel_ = new PanelWindow(engine_.get(), objects, hasTray_ ? PanelWindow::Mode::popup : PanelWindow::Mode::window);
    connect(panel_, &PanelWindow::quitRequested, this, &AppDelegate::quit);
    connect(panel_, &PanelWindow::menuRequested, this, [this](QPoint position) { menu_->popup(position); });
    connect(panel_, &PanelWindow::closeAsked, this, &AppDelegate::askToQuit);
    if (!panel_->isLoaded()) {
        for (const QQmlError& error : panel_->errors())
            qCCritical(logShell).noquote() << error.toString();
    }
    if (!hasTray_)
        panel_->setIcon(statusIcon(currentLook(), colorScheme_.isDark(), backend_.controller->hasUnheardMessages()));
    emit panelCreated();
    return panel_;
}

void AppDelegate::buildMenu() {
    menu_ = std::make_unique<QMenu>();
    muteAction_ = menu_->addAction(QString(), this, &AppDelegate::toggleMute);
    muteAction_->setCheckable(true);
    // The sound switches, as kept (restoreSettings() has applied them).
    cuesAction_ = menu_->addAction(QObject::tr("Talk sounds"), this, &AppDelegate::setCuesEnabled);
    cuesAction_->setCheckable(true);
    cuesAction_->setChecked(isCuesEnabled_);
    noiseSuppressionAction_ =
        menu_->addAction(QObject::tr("Noise suppression"), this, &AppDelegate::setNoiseSuppression);
    noiseSuppressionAction_->setCheckable(true);
    noiseSuppressionAction_->setChecked(isNoiseSuppressing_);
    menu_->addAction(Symbols::icon(QStringLiteral("gearshape")), QObject::tr("Settings"), this, &AppDelegate::openSettings);
    menu_->addSeparator();
    autostartAction_ = menu_->addAction(QObject::tr("Start at login"));
    autostartAction_->setCheckable(true);
    connect(autostartAction_, &QAction::triggered, this, &AppDelegate::setStartAtLogin);
    // The entry may have changed outside (the desktop's session settings).
    connect(menu_.get(), &QMenu::aboutToShow, this, &AppDelegate::updateMenu);
    menu_->addSeparator();
    QAction* quitAction = menu_->addAction(Symbols::icon(QStringLiteral("power")), QObject::tr("Quit Hollerhopper"), this,
                                           &AppDelegate::quit);
    quitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quitAction->setShortcutVisibleInContextMenu(true);
    updateMenu();
}

// The first item shows what choosing it does, and a tick while muted.
void AppDelegate::updateMenu() {
    const bool muted = backend_.controller->isMuted();
    muteAction_->setText(muted ? QObject::tr("Unmute") : QObject::tr("Mute"));
    muteAction_->setChecked(muted);
    muteAction_->setIcon(Symbols::icon(muted ? QStringLiteral("speaker.wave.2") : QStringLiteral("speaker.slash")));
    autostartAction_->setChecked(autostart_.isEnabled());
}

void AppDelegate::setStartAtLogin(bool isOn) {
    autostart_.setEnabled(isOn);
    autostartAction_->setChecked(autostart_.isEnabled()); // what is on disk, also after a failure
}

StatusLook AppDelegate::currentLook() const {
    const ControllerObject& controller = *backend_.controller;
    if (controller.isTransmitting() || controller.hasTalkingPeer())
        return StatusLook::green;
    return controller.isMuted() ? StatusLook::monoSlash : StatusLook::mono;
}

// On air while we transmit, who is talking while anyone does, the connection
// otherwise; under it why the push-to-talk key does nothing, while it does not work.
void AppDelegate::updateToolTip() {
    if (!statusItem_)
        return;
    const ControllerObject& controller = *backend_.controller;
    const QString line = controller.isTransmitting()  ? tr("On air")
                         : controller.hasTalkingPeer() ? controller.talkersText()
                                                       : controller.connectionState();
    QString text = tr("Hollerhopper \u2014 %1").arg(line);
    if (const HotkeyObject* hotkey = backend_.hotkey.get(); hotkey && !hotkey->problem().isEmpty())
        text += QLatin1Char('\n') + hotkey->problem();
    statusItem_->setToolTip(text);
}

void AppDelegate::updateStatusIcon() {
    const QIcon icon = statusIcon(currentLook(), colorScheme_.isDark(), backend_.controller->hasUnheardMessages());
    if (statusItem_)
        statusItem_->setIcon(icon);
    if (panel_ && !hasTray_)
        panel_->setIcon(icon);
}

void AppDelegate::showPanel(bool activate) {
    ensurePanel();
    if (!hasTray_) {
        panel_->show();
        panel_->raise();
        if (activate)
            panel_->requestActivate();
        return;
    }
    QRect anchor = statusItem_ ? statusItem_->geometry() : QRect();
    panel_->popUp(anchor);
}

void AppDelegate::revealPanel() {
    if (!ensurePanel()->isVisible())
        showPanel(true);
    else
        panel_->requestActivate();
}

void AppDelegate::togglePopover() {
    if (panel_ && panel_->isVisible() && hasTray_) {
        panel_->hide();
        return;
    }
    if (panel_ && panel_->justClosedByFocusLoss())
        return; // this click took the focus away and so already closed it
    showPanel(true);
}

void AppDelegate::toggleMute() {
    backend_.controller->setMuted(!backend_.controller->isMuted());
}

void AppDelegate::setCuesEnabled(bool enabled) {
    backend_.controller->setCuesEnabled(enabled);
    settings_->setCuesEnabled(enabled);
}

void AppDelegate::setNoiseSuppression(bool enabled) {
    backend_.controller->setNoiseSuppression(enabled);
    settings_->setNoiseSuppressing(enabled);
}

void AppDelegate::openSettings() {
    if (!ensurePanel()->isVisible())
        showPanel(true);
    messages_.post(QString::fromLatin1(openSettingsMessage));
}

// Without a tray the window is all there is of the program: closing it
// quits, and it says so first (others are no longer heard). Ending the
// session asks nothing.
void AppDelegate::askToQuit() {
    if (qApp->isSavingSession())
        return quit();
    if (quitQuestion_) {
        quitQuestion_->raise();
        quitQuestion_->activateWindow();
        return;
    }
    auto* question = new QMessageBox(QMessageBox::Question, tr("Hollerhopper"), tr("Quit Hollerhopper?"));
    question->setInformativeText(
        tr("Closing this window quits Hollerhopper: you will no longer hear others, and they cannot reach you."));
    QPushButton* quitButton = question->addButton(tr("Quit"), QMessageBox::AcceptRole);
    question->setDefaultButton(question->addButton(tr("Keep Open"), QMessageBox::RejectRole));
    question->setAttribute(Qt::WA_DeleteOnClose);
    connect(question, &QMessageBox::buttonClicked, this, [this, quitButton](QAbstractButton* button) {
        if (button == quitButton)
            quit();
    });
    quitQuestion_ = question;
    question->open();
}

void AppDelegate::quit() {
    QCoreApplication::quit();
}

void AppDelegate::prepareForSleep(bool sleeping) {
    if (sleeping)
        return;
    // Later on the event loop; the context object drops it if we are gone.
    QTimer::singleShot(0, this, [this] { backend_.controller->refreshTransport(); });
}

} // namespace hh
