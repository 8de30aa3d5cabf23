#include "app/hotkey/GlobalHotkey.h"

#include "app/hotkey/PortalShortcut.h"
#include "core/ptt/key/linux/X11KeyGrab.h"


namespace hh {

GlobalHotkey::Backend GlobalHotkey::backendForSession() {
    const bool isWayland = qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland")
                           || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    return isWayland ? Backend::portal : Backend::x11;
}

GlobalHotkey::GlobalHotkey(Backend backend, QObject* parent) : HotkeyObject(parent), backend_(backend) {
    hold_.onPress = [this] { emit pressed(); };
    hold_.onRelease = [this] { emit released(); };
}

GlobalHotkey::~GlobalHotkey() {
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
    delete portal_;
    portal_ = nullptr;
    hold_.up();
}

void GlobalHotkey::apply(const KeyChord& chord) {
    stopBackend();
    publishKey(QString::fromStdString(chord.toString()));
    publishStatus(Status::waiting);
    if (backend_ == Backend::portal) {
        portal_ = new PortalShortcut(QDBusConnection::sessionBus(), this);
        connect(portal_, &PortalShortcut::activated, this, [this] { hold_.down(); });
        connect(portal_, &PortalShortcut::deactivated, this, [this] { hold_.up(); });
        connect(portal_, &PortalShortcut::stateChanged, this, [this](PortalShortcut::State state) {
            switch (state) {
            case PortalShortcut::State::waiting: publishStatus(Status::waiting); break;
            case PortalShortcut::State::bound: publishStatus(Status::ready); break;
            case PortalShortcut::State::unavailable: publishStatus(Status::unavailable); break;
            case PortalShortcut::State::refused: publishStatus(Status::refused); break;
            case PortalShortcut::State::lost: publishStatus(Status::lost); break;
            }
        });
        portal_->start(chord);
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
