#include "app/bridge/HotkeyObject.h"

#include "core/ptt/key/KeyChord.h"

#include <QHash>
#include <QMetaEnum>

namespace hh {

namespace {
// Qt keys whose X keysym name is not simply the key's own text.
QString keysymName(int key) {
    static const QHash<int, QString> names{
        {Qt::Key_Space, QStringLiteral("space")},         {Qt::Key_Pause, QStringLiteral("Pause")},
        {Qt::Key_ScrollLock, QStringLiteral("Scroll_Lock")}, {Qt::Key_Print, QStringLiteral("Print")},
        {Qt::Key_Insert, QStringLiteral("Insert")},       {Qt::Key_Delete, QStringLiteral("Delete")},
        {Qt::Key_Home, QStringLiteral("Home")},           {Qt::Key_End, QStringLiteral("End")},
        {Qt::Key_PageUp, QStringLiteral("Prior")},        {Qt::Key_PageDown, QStringLiteral("Next")},
        {Qt::Key_Left, QStringLiteral("Left")},           {Qt::Key_Right, QStringLiteral("Right")},
        {Qt::Key_Up, QStringLiteral("Up")},               {Qt::Key_Down, QStringLiteral("Down")},
        {Qt::Key_Menu, QStringLiteral("Menu")},           {Qt::Key_Return, QStringLiteral("Return")},
        {Qt::Key_Enter, QStringLiteral("KP_Enter")},      {Qt::Key_Tab, QStringLiteral("Tab")},
        {Qt::Key_Backspace, QStringLiteral("BackSpace")}, {Qt::Key_Escape, QStringLiteral("Escape")},
        {Qt::Key_QuoteLeft, QStringLiteral("grave")},     {Qt::Key_Minus, QStringLiteral("minus")},
        {Qt::Key_Equal, QStringLiteral("equal")},         {Qt::Key_Comma, QStringLiteral("comma")},
        {Qt::Key_Period, QStringLiteral("period")},       {Qt::Key_Slash, QStringLiteral("slash")},
        {Qt::Key_Semicolon, QStringLiteral("semicolon")}, {Qt::Key_Apostrophe, QStringLiteral("apostrophe")},
        {Qt::Key_BracketLeft, QStringLiteral("bracketleft")}, {Qt::Key_BracketRight, QStringLiteral("bracketright")},
        {Qt::Key_Backslash, QStringLiteral("backslash")}, {Qt::Key_CapsLock, QString()},
        {Qt::Key_NumLock, QString()},
    };
    if (auto found = names.constFind(key); found != names.constEnd())
        return *found;
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35)
        return QStringLiteral("F%1").arg(key - Qt::Key_F1 + 1);
    if ((key >= Qt::Key_A && key <= Qt::Key_Z) || (key >= Qt::Key_0 && key <= Qt::Key_9))
        return QString(QChar(key)).toLower();
    return {};
}
// X keysym names that desktops write otherwise.
QString keyWord(const QString& keysym) {
    static const QHash<QString, QString> words{
        {QStringLiteral("space"), QStringLiteral("Space")},      {QStringLiteral("Prior"), QStringLiteral("Page Up")},
        {QStringLiteral("Next"), QStringLiteral("Page Down")},   {QStringLiteral("Scroll_Lock"), QStringLiteral("Scroll Lock")},
        {QStringLiteral("BackSpace"), QStringLiteral("Backspace")}, {QStringLiteral("KP_Enter"), QStringLiteral("Enter")},
        {QStringLiteral("Escape"), QStringLiteral("Esc")},       {QStringLiteral("grave"), QStringLiteral("`")},
        {QStringLiteral("minus"), QStringLiteral("-")},          {QStringLiteral("equal"), QStringLiteral("=")},
        {QStringLiteral("comma"), QStringLiteral(",")},          {QStringLiteral("period"), QStringLiteral(".")},
        {QStringLiteral("slash"), QStringLiteral("/")},          {QStringLiteral("semicolon"), QStringLiteral(";")},
        {QStringLiteral("apostrophe"), QStringLiteral("'")},     {QStringLiteral("bracketleft"), QStringLiteral("[")},
        {QStringLiteral("bracketright"), QStringLiteral("]")},   {QStringLiteral("backslash"), QStringLiteral("\\")},
    };
    if (auto found = words.constFind(keysym); found != words.constEnd())
        return *found;
    QString word = keysym;
    word.replace(QLatin1Char('_'), QLatin1Char(' '));
    if (!word.isEmpty())
        word[0] = word[0].toUpper();
    return word;
}
} // namespace

QString HotkeyObject::labelFor(const QString& chord) {
    const auto parsed = KeyChord::parse(chord.toStdString());
    if (!parsed)
        return chord;
    QString label;
    if (parsed->ctrl)
        label += tr("Ctrl+");
    if (parsed->shift)
        label += tr("Shift+");
    if (parsed->alt)
        label += tr("Alt+");
    if (parsed->super)
        label += tr("Super+");
    return label + keyWord(QString::fromStdString(parsed->key));
}

QString HotkeyObject::chordFor(int qtKey, int modifiers) {
    const QString name = keysymName(qtKey);
    if (name.isEmpty())
        return {};
    QString chord;
    if (modifiers & Qt::ControlModifier)
        chord += QStringLiteral("ctrl+");
    if (modifiers & Qt::ShiftModifier)
        chord += QStringLiteral("shift+");
    if (modifiers & Qt::AltModifier)
        chord += QStringLiteral("alt+");
    if (modifiers & Qt::MetaModifier)
        chord += QStringLiteral("super+");
    return chord + name;
}

QString HotkeyObject::statusName() const {
    return QString::fromLatin1(QMetaEnum::fromType<Status>().valueToKey(int(status_)));
}

QString HotkeyObject::problem() const {
    switch (status_) {
    case Status::conflict: return tr("%1 is used by another program: choose another key in Settings").arg(keyLabel());
    case Status::noSuchKey: return tr("This keyboard has no %1 key: choose another in Settings").arg(keyLabel());
    case Status::unavailable: return tr("No push-to-talk key: this desktop offers no global shortcuts");
    case Status::refused: return tr("No push-to-talk key: the desktop refused the shortcut");
    case Status::lost: return tr("The push-to-talk key stopped working");
    case Status::off:
    case Status::waiting:
    case Status::ready: break;
    }
    return {};
}

void HotkeyObject::chooseKey(const QString& chord) {
    if (!isChoosing_) // else a choice in flight: its key before is still the one to go back to
        keyBeforeChoice_ = key_;
    isChoosing_ = true;
    choice_ = chord;
    setKey(chord);
    if (isChoosing_) { // not settled at once: wait for the status of the key as the backend wrote it
        choice_ = key_;
        settleChoice();
    }
}

void HotkeyObject::settleChoice() {
    if (!isChoosing_ || status_ == Status::waiting || key_ != choice_)
        return;
    isChoosing_ = false;
    if (status_ != Status::conflict && status_ != Status::noSuchKey) {
        emit choiceSettled(choice_, QString());
        return;
    }
    const QString refusal = statusName();
    emit choiceSettled(choice_, refusal);
    setKey(keyBeforeChoice_);
}

void HotkeyObject::publishKey(QString key) {
    if (key_ == key)
        return;
    key_ = std::move(key);
    emit keyChanged();
}

void HotkeyObject::publishStatus(Status status) {
    if (status_ == status)
        return;
    status_ = status;
    emit statusChanged();
    settleChoice();
}

} // namespace hh
