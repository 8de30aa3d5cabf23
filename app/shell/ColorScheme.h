#pragma once

#include <QDBusConnection>
#include <QObject>

class QDBusMessage;

namespace hh {

// Light or dark: what the desktop prefers, as its settings portal publishes
// it (org.freedesktop.appearance color-scheme), followed while the program
// runs. With no portal, or no preference, the application palette decides.
class ColorScheme : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isDark READ isDark NOTIFY changed)
public:
    enum class Preference { none, dark, light };

    explicit ColorScheme(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);

    // Asks the portal once and follows its SettingChanged from then on.
    void start();
    Preference preference() const { return preference_; }
    bool isDark() const;

signals:
    void changed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void settingChanged(const QDBusMessage& message);

private:
    void apply(const QVariant& value);

    QDBusConnection bus_;
    Preference preference_ = Preference::none;
};

} // namespace hh
