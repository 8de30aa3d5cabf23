#pragma once

#include <QString>

#include <optional>

namespace hh {

// Keeps the private channel's passphrase between runs: in the desktop's secret
// store (the Secret Service, through libsecret) where one answers, otherwise in
// a file only the user can read ($XDG_CONFIG_HOME/hollerhopper/channel-passphrase,
// mode 0600), which holds the current channel's passphrase alone. Main thread.
class PassphraseStore {
public:
    enum class Where { secretService, file };

    // `filePath` empty: the file in the user's configuration directory.
    // `isSecretServiceUsed` false: the file only (tests).
    explicit PassphraseStore(QString filePath = {}, bool isSecretServiceUsed = true);

    std::optional<QString> load(const QString& channel);
    // An empty passphrase forgets what was kept. Returns where it went.
    Where store(const QString& channel, const QString& passphrase);

private:
    QString filePath_;
    bool isSecretServiceUsed_;
};

} // namespace hh
