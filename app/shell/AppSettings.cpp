#include "app/shell/AppSettings.h"

#include "core/log/Log.h"
#include "core/net/Peer.h"
#include "core/ptt/key/KeyChord.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace hh {

namespace {
const QString keyEntry = QStringLiteral("pushToTalk/key");
const QString replyKeyEntry = QStringLiteral("pushToTalk/replyKey");
const QString mutedEntry = QStringLiteral("audio/muted");
const QString nameEntry = QStringLiteral("identity/name");
const QString cuesEntry = QStringLiteral("sound/cues");
const QString noiseSuppressionEntry = QStringLiteral("sound/noiseSuppression");
const QString channelEntry = QStringLiteral("channel/name");

QString boolText(bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); }

// A switch as written: true or false, else `problem` says which one is neither.
void readSwitch(const QSettings& file, const QString& entry, const char* what, bool& value, QString& problem) {
    if (!problem.isEmpty() || !file.contains(entry)) return;
    const QString text = file.value(entry).toString();
    if (text != QLatin1String("true") && text != QLatin1String("false"))
        problem = QStringLiteral("the %1 is neither true nor false").arg(QLatin1String(what));
    value = text == QLatin1String("true");
}

} // namespace

AppSettings::AppSettings(QString path, QObject* parent) : QObject(parent), path_(std::move(path)) {
    if (path_.isEmpty())
        path_ = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                + QStringLiteral("/hollerhopper/hollerhopper.conf");
}

AppSettings::~AppSettings() = default;

AppSettings::Values AppSettings::defaults() {
    return Values{QString::fromLatin1(defaultPushToTalkKey.data(), qsizetype(defaultPushToTalkKey.size())), false, {},
                  true, true};
}

AppSettings::Values AppSettings::load() {
    Values values = defaults();
    const QFileInfo info(path_);
    QString problem;
    if (info.exists() && !info.isReadable()) {
        problem = QStringLiteral("it cannot be read");
    } else if (info.exists()) {
        QSettings file(path_, QSettings::IniFormat);
        if (file.status() != QSettings::NoError)
            problem = QStringLiteral("it is not a settings file");
        if (problem.isEmpty() && file.contains(keyEntry)) {
            values.key = file.value(keyEntry).toString();
            if (!values.key.isEmpty() && !KeyChord::parse(values.key.toStdString()))
                problem = QStringLiteral("the push-to-talk key is not a key");
        }
        if (problem.isEmpty() && file.contains(replyKeyEntry)) {
            values.replyKey = file.value(replyKeyEntry).toString();
            if (!values.replyKey.isEmpty() && !KeyChord::parse(values.replyKey.toStdString()))
                problem = QStringLiteral("the reply key is not a key");
            else if (!values.replyKey.isEmpty() && values.replyKey == values.key)
                problem = QStringLiteral("the reply key is the push-to-talk key");
        }
        readSwitch(file, mutedEntry, "mute switch", values.isMuted, problem);
        if (problem.isEmpty() && file.contains(nameEntry)) {
            values.name = file.value(nameEntry).toString().trimmed();
            // Empty: this computer's name.
            if (!values.name.isEmpty() && !isUsableName(values.name.toStdString()))
                problem = QStringLiteral("the name is not a usable name");
        }
        readSwitch(file, cuesEntry, "talk sounds switch", values.isCuesEnabled, problem);
        readSwitch(file, noiseSuppressionEntry, "noise suppression switch", values.isNoiseSuppressing, problem);
        if (problem.isEmpty() && file.contains(channelEntry)) {
            values.channel = file.value(channelEntry).toString();
            if (!isUsableName(values.channel.toStdString()))
                problem = QStringLiteral("the channel is not a usable name");
        }
    }
    if (problem.isEmpty())
        return values;

    // Said once, here; from now on the file holds the defaults.
    HH_LOG_WARNING(logcat::app, "settings: " << path_.toStdString() << " is damaged (" << problem.toStdString()
                                             << "); using the defaults");
    wasReset_ = true;
    QFile::remove(path_);
    values = defaults();
    setKey(values.key);
    setMuted(values.isMuted);
    return values;
}

void AppSettings::write(const QString& name, const QVariant& value) {
    QDir().mkpath(QFileInfo(path_).absolutePath());
    QSettings file(path_, QSettings::IniFormat);
    file.setValue(name, value);
    file.sync();
    if (file.status() != QSettings::NoError)
        HH_LOG_WARNING(logcat::app, "settings: cannot write " << path_.toStdString());
}

void AppSettings::setKey(const QString& key) { write(keyEntry, key); }
void AppSettings::setReplyKey(const QString& key) { write(replyKeyEntry, key); }
void AppSettings::setMuted(bool muted) { write(mutedEntry, boolText(muted)); }
void AppSettings::setName(const QString& name) { write(nameEntry, name); }
void AppSettings::setCuesEnabled(bool enabled) { write(cuesEntry, boolText(enabled)); }
void AppSettings::setNoiseSuppressing(bool enabled) { write(noiseSuppressionEntry, boolText(enabled)); }
void AppSettings::setChannel(const QString& name) { write(channelEntry, name); }

} // namespace hh
