#include "app/hotkey/GlobalHotkey.h"

#include "app/hotkey/PortalShortcut.h"
#include "core/ptt/key/linux/X11KeyGrab.h"


namespace hh {

GlobalHotkey::Backend GlobalHotkey::backendForSession() {
    const bool isWayland = qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland")
                           || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    return isWayland ? Backend::portal : Backend::x11;
}

GlobalHotkey::GlobalHotkey(Backend backend, QObject* parent)
    : GlobalHotkey(backend, QStringLiteral("push-to-talk"), tr("Push to talk"), nullptr) {
    setParent(parent);
}

GlobalHotkey::GlobalHotkey(Backend backend, QString shortcutId, QString description,
                           std::shared_ptr<PortalShortcut> sharedPortal)
    : backend_(backend), shortcutId_(std::move(shortcutId)), description_(std::move(description)),
      portal_(std::move(sharedPortal)) {
    hold_.onPress = [this] { emit pressed(); };
    hold_.onRelease = [this] { emit released(); };
    if (backend_ != Backend::portal)
        return;
    if (!portal_)
        portal_ = std::make_shared<PortalShortcut>(QDBusConnection::sessionBus());
    PortalShortcut* portal = portal_.get();
    connect(portal, &PortalShortcut::activated, this, [this](const QString& id) {
        if (id == shortcutId_)
            hold_.down();
    });
    connect(portal, &PortalShortcut::deactivated, this, [this](const QString& id) {
        if (id == shortcutId_)
            hold_.up();
    });
    connect(portal, &PortalShortcut::stateChanged, this, [this](PortalShortcut::State state) {
        if (!isBound_)
            return; // the other key's session changes; ours is off
        switch (state) {
        case PortalShortcut::State::waiting: publishStatus(Status::waiting); break;
        case PortalShortcut::State::bound: publishStatus(Status::ready); break;
        case PortalShortcut::State::unavailable: publishStatus(Status::unavailable); break;
        case PortalShortcut::State::refused: publishStatus(Status::refused); break;
        case PortalShortcut::State::lost: publishStatus(Status::lost); break;
        }
    });
}

std::unique_ptr<GlobalHotkey> GlobalHotkey::replyKeyBeside(GlobalHotkey& pushToTalk) {
    return std::unique_ptr<GlobalHotkey>(
        new GlobalHotkey(pushToTalk.backend_, QStringLiteral("reply"), tr("Reply"), pushToTalk.portal_));
}

GlobalHotkey::~GlobalHotkey() {
    if (portal_) {
        portal_->disconnect(this); // what the portal says while going is no longer ours
        portal_->forget(shortcutId_); // no new session for the other key on the way out
        isBound_ = false;
    }
    stopBackend();
}

void GlobalHotkey::setKey(const QString& chord) {
    if (chord.trimmed().isEmpty()) {
        stopBackend();
        publishKey(QString());
        publishStatus(Status::off);
        return;
    }
    const auto parsed = KeyChord::parse(chord.toStdString());
    if (!parsed)
        return;
    apply(*parsed);
}

void GlobalHotkey::stopBackend() {
    if (x11_)
        x11_->stop(); // its release is queued to us, so end the hold here too
    x11_.reset();
    ++grabGeneration_; // what the old grab still has queued for us is dropped
    if (isBound_) {
        isBound_ = false;
        portal_->unbind(shortcutId_);
    }
    hold_.up();
}

void GlobalHotkey::apply(const KeyChord& chord) {
    isBound_ = false; // bound again below, not first without us
    stopBackend();
    publishKey(QString::fromStdString(chord.toString()));
    publishStatus(Status::waiting);
    if (backend_ == Backend::portal) {
        isBound_ = true;
        portal_->bind(shortcutId_, description_, chord);
        return;
    }
    // The grab calls us on its own thread; every call hops here. Calls still
    // queued when this object goes are dropped with it.
    x11_ = std::make_unique<X11KeyGrab>();
    X11KeyGrab* grab = x11_.get();
    auto onMain = [this, generation = ++grabGeneration_](auto task) {
        QMetaObject::invokeMethod(
            this, [this, generation, task] {
                if (generation == grabGeneration_) // not from a grab replaced meanwhile
                    task();
            },
            Qt::QueuedConnection);
    };
    grab->onPress = [this, onMain] { onMain([this] { hold_.down(); }); };
    grab->onRelease = [this, onMain] { onMain([this] { hold_.up(); }); };
    grab->onStatus = [this, onMain](X11KeyGrab::Status status) {
        onMain([this, status] {
            switch (status) {
            case X11KeyGrab::Status::grabbed: publishStatus(Status::ready); break;
            case X11KeyGrab::Status::conflict: publishStatus(Status::conflict); break;
            case X11KeyGrab::Status::noSuchKey: publishStatus(Status::noSuchKey); break;
            case X11KeyGrab::Status::noDisplay: publishStatus(Status::unavailable); break;
            case X11KeyGrab::Status::connectionLost: publishStatus(Status::lost); break;
            }
        });
    };
    grab->start(chord);
}

} // namespace hh
