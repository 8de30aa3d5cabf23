#pragma once

#include <QObject>
#include <QString>

namespace hh {

// What the program remembers between runs: the push-to-talk and reply keys, the mute
// switch, the name others see and the two sound switches (talk cues, noise
// suppression), in the user's configuration directory
// ($XDG_CONFIG_HOME/hollerhopper/hollerhopper.conf, an INI file). A file that
// cannot be read or holds values we cannot use is reported once, removed and
// replaced by the defaults. Main thread only.
class AppSettings : public QObject {
    Q_OBJECT
    // True when this run found the file damaged and started from the defaults.
    Q_PROPERTY(bool wasReset READ wasReset CONSTANT)

public:
    struct Values {
        QString key;  // empty: no push-to-talk key
        bool isMuted = false;
        QString name; // empty: this computer's name
        bool isCuesEnabled = true;
        bool isNoiseSuppressing = true;
        // The channel's name ("Everyone": the open one); its passphrase is not
        // kept here but in a PassphraseStore.
        QString channel = QStringLiteral("Everyone");
        QString replyKey = QString(); // empty (the default): no reply key
    };

    // `path` empty: the file in the user's configuration directory.
    explicit AppSettings(QString path = {}, QObject* parent = nullptr);
    ~AppSettings() override;

    Values load();
    bool wasReset() const { return wasReset_; }
    const QString& path() const { return path_; }

    void setKey(const QString& key);
    void setReplyKey(const QString& key);
    void setMuted(bool muted);
    void setName(const QString& name);
    void setCuesEnabled(bool enabled);
    void setNoiseSuppressing(bool enabled);
    void setChannel(const QString& name);

    static Values defaults();

private:
    void write(const QString& name, const QVariant& value);

    QString path_;
    bool wasReset_ = false;
};

} // namespace hh
