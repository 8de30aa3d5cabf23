#include "app/shell/SingleInstance.h"

#include "core/log/Log.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace hh {

namespace {

constexpr char showRequest[] = "show\n";
constexpr char showReply[] = "ok\n";

// An AF_UNIX address for `path`; false when the path is too long for one.
bool unixAddress(const QString& path, sockaddr_un& address) {
    const QByteArray bytes = QFile::encodeName(path);
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (bytes.size() >= qsizetype(sizeof address.sun_path))
        return false;
    std::memcpy(address.sun_path, bytes.constData(), size_t(bytes.size()));
    return true;
}

// Closes a file descriptor when it goes out of scope.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

SingleInstance::SingleInstance(const QString& directory, const QString& displayKey)
    : base_(QDir(directory).filePath(QStringLiteral("hollerhopper-") + displayKey)) {
    lockFd_ = ::open(QFile::encodeName(lockPath()).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0) {
        // Better two copies than none: run, and say why the check is off.
        HH_LOG_WARNING(logcat::app, "cannot open " << lockPath().toStdString() << " (" << std::strerror(errno)
                                                   << "); not checking for another copy");
        return;
    }
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        role_ = Role::second;
        return;
    }
    // We hold the lock, so a socket file left here is stale.
    sockaddr_un address;
    if (!unixAddress(socketPath(), address)) {
        HH_LOG_WARNING(logcat::app, "socket path too long: " << socketPath().toStdString());
        return;
    }
    ::unlink(address.sun_path);
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ >= 0 && (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                           ::listen(listenFd_, 8) != 0)) {
        HH_LOG_WARNING(logcat::app, "cannot listen on " << socketPath().toStdString() << ": " << std::strerror(errno));
        ::close(listenFd_);
        listenFd_ = -1;
    }
}

SingleInstance::~SingleInstance() {
    if (server_)
        server_->close(); // closes listenFd_
    else if (listenFd_ >= 0)
        ::close(listenFd_);
    if (listenFd_ >= 0)
        ::unlink(QFile::encodeName(socketPath()).constData());
    if (lockFd_ >= 0)
        ::close(lockFd_); // and with it the lock
}

void SingleInstance::start() {
    if (role_ != Role::first || listenFd_ < 0 || server_)
        return;
    server_ = std::make_unique<QLocalServer>();
    if (!server_->listen(qintptr(listenFd_))) {
        HH_LOG_WARNING(logcat::app, "cannot serve " << socketPath().toStdString() << ": "
                                                    << server_->errorString().toStdString());
        return;
    }
    QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
                if (!socket->canReadLine())
                    return;
                if (socket->readLine(64) == QByteArray(showRequest) && onShowPanel)
                    onShowPanel();
                socket->write(showReply);
                socket->disconnectFromServer();
            });
        }
    });
}

bool SingleInstance::askToShowPanel(std::chrono::milliseconds timeout) const {
    sockaddr_un address;
    if (!unixAddress(socketPath(), address))
        return false;
    Fd socket{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (socket.fd < 0 || ::connect(socket.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return false;
    if (::send(socket.fd, showRequest, sizeof showRequest - 1, MSG_NOSIGNAL) != ssize_t(sizeof showRequest - 1))
        return false;
    // The first copy answers from its event loop, which may still be starting.
    pollfd readable{socket.fd, POLLIN, 0};
    if (::poll(&readable, 1, int(timeout.count())) != 1)
        return false;
    char reply[sizeof showReply] = {};
    return ::recv(socket.fd, reply, sizeof reply - 1, 0) == ssize_t(sizeof showReply - 1) &&
           std::strcmp(reply, showReply) == 0;
}

int SingleInstance::handOver() const {
    if (askToShowPanel(std::chrono::seconds(10))) {
        std::printf("Hollerhopper is already running on this display; its panel is open now.\n");
        return 0;
    }
    std::fprintf(stderr, "hollerhopper: another copy is running on this display (it holds %s) but does not answer\n",
                 qPrintable(lockPath()));
    return 1;
}

QString SingleInstance::runtimeDirectory() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(runtime).exists())
        return runtime;
    // A directory of our own, so nobody else can take the lock first.
    const QString own = QDir::temp().filePath(QStringLiteral("hollerhopper-%1").arg(::getuid()));
    const QByteArray path = QFile::encodeName(own);
    ::mkdir(path.constData(), 0700);
    struct stat info;
    if (::lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid())
        return own;
    return QDir::homePath();
}

QString SingleInstance::displayKey() {
    QString key;
    if (const QString wayland = qEnvironmentVariable("WAYLAND_DISPLAY"); !wayland.isEmpty()) {
        key = QStringLiteral("wl-") + QFileInfo(wayland).fileName();
    } else if (QString x11 = qEnvironmentVariable("DISPLAY"); !x11.isEmpty()) {
        // host:display.screen: every screen of one display is one session.
        static const QRegularExpression screen(QStringLiteral("\\.\\d+$"));
        key = QStringLiteral("x11-") + x11.remove(screen);
    } else {
        key = QStringLiteral("nodisplay");
    }
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9_.-]"));
    return key.replace(unsafe, QStringLiteral("_")).left(64);
}

} // namespace hh
