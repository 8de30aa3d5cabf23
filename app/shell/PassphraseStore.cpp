#include "app/shell/PassphraseStore.h"

#include "core/log/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

// GLib's headers use "signals" as a name, which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <libsecret/secret.h>
#pragma pop_macro("signals")

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hh {

namespace {
const SecretSchema* schema() {
    static const SecretSchema s = {"org.hollerhopper.Channel",
                                   SECRET_SCHEMA_NONE,
                                   {{"channel", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                   0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &s;
}

// Logged once per run: the secret store is either there or not.
void noteNoSecretService(GError* error) {
    static bool isNoted = false;
    if (!isNoted)
        HH_LOG_INFO(logcat::app, "no secret store answers (" << (error ? error->message : "unknown")
                                                             << "): the passphrase is kept in a file only you can read");
    isNoted = true;
    if (error)
        g_error_free(error);
}
} // namespace

PassphraseStore::PassphraseStore(QString filePath, bool isSecretServiceUsed)
    : filePath_(std::move(filePath)), isSecretServiceUsed_(isSecretServiceUsed) {
    if (filePath_.isEmpty())
        filePath_ = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                    + QStringLiteral("/hollerhopper/channel-passphrase");
}

std::optional<QString> PassphraseStore::load(const QString& channel) {
    if (isSecretServiceUsed_) {
        GError* error = nullptr;
        const QByteArray name = channel.toUtf8();
        gchar* secret = secret_password_lookup_sync(schema(), nullptr, &error, "channel", name.constData(), nullptr);
        if (secret) {
            QString passphrase = QString::fromUtf8(secret);
            secret_password_free(secret);
            return passphrase;
        }
        if (error)
            noteNoSecretService(error);
    }
    // The file: "channel name" on the first line, the passphrase on the second.
    QFile file(filePath_);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (lines.size() < 2 || lines[0] != channel || lines[1].isEmpty())
        return std::nullopt;
    return lines[1];
}

PassphraseStore::Where PassphraseStore::store(const QString& channel, const QString& passphrase) {
    if (isSecretServiceUsed_ && !passphrase.isEmpty()) {
        GError* error = nullptr;
        const QByteArray name = channel.toUtf8(), secret = passphrase.toUtf8();
        const QByteArray label = QStringLiteral("Hollerhopper channel %1").arg(channel).toUtf8();
        if (secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, label.constData(), secret.constData(),
                                       nullptr, &error, "channel", name.constData(), nullptr)) {
            QFile::remove(filePath_);  // no copy left in a file
            return Where::secretService;
        }
        noteNoSecretService(error);
    }
    QFile::remove(filePath_);
    if (passphrase.isEmpty())
        return Where::file;
    QDir().mkpath(QFileInfo(filePath_).absolutePath());
    // Created readable by the user alone, never for a moment by others.
    const int fd = ::open(QFile::encodeName(filePath_).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        HH_LOG_WARNING(logcat::app, "cannot keep the passphrase in " << filePath_.toStdString());
        return Where::file;
    }
    const QByteArray text = (channel + QLatin1Char('\n') + passphrase + QLatin1Char('\n')).toUtf8();
    const bool isWritten = ::write(fd, text.constData(), std::size_t(text.size())) == text.size();
    ::close(fd);
    if (!isWritten)
        HH_LOG_WARNING(logcat::app, "cannot keep the passphrase in " << filePath_.toStdString());
    return Where::file;
}

} // namespace hh
