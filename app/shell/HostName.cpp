#include "app/shell/HostName.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QFile>
#include <QSysInfo>

namespace hh {

QString prettyHostNameFromMachineInfo(const QString& text) {
    QString found;
    for (const QString& raw : text.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (!line.startsWith(QLatin1String("PRETTY_HOSTNAME=")))
            continue;
        QString value = line.mid(int(sizeof("PRETTY_HOSTNAME=")) - 1);
        if (value.size() >= 2 && (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\''))
            && value.back() == value.front()) {
            const QChar quote = value.front();
            value = value.mid(1, value.size() - 2);
            if (quote == QLatin1Char('"')) {
                // Backslash escapes inside double quotes.
                QString unescaped;
                for (qsizetype i = 0; i < value.size(); ++i) {
                    if (value[i] == QLatin1Char('\\') && i + 1 < value.size())
                        ++i;
                    unescaped += value[i];
                }
                value = unescaped;
            }
        }
        found = value.trimmed(); // the last assignment wins, as in the shell
    }
    return found;
}

QString computerName() {
    // Asked directly with a short timeout: where hostnamed is activatable but
    // cannot start (containers), introspection would block for 25 seconds.
    QDBusMessage get = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.hostname1"), QStringLiteral("/org/freedesktop/hostname1"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.freedesktop.hostname1") << QStringLiteral("PrettyHostname");
    const QDBusMessage reply = QDBusConnection::systemBus().call(get, QDBus::Block, 1000);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
        const QString pretty = qvariant_cast<QDBusVariant>(reply.arguments().constFirst()).variant().toString().trimmed();
        if (!pretty.isEmpty())
            return pretty;
    }
    QFile info(QStringLiteral("/etc/machine-info"));
    if (info.open(QIODevice::ReadOnly)) {
        const QString pretty = prettyHostNameFromMachineInfo(QString::fromUtf8(info.readAll()));
        if (!pretty.isEmpty())
            return pretty;
    }
    const QString host = QSysInfo::machineHostName().trimmed();
    return host.isEmpty() ? QStringLiteral("Mac") : host;
}

} // namespace hh
