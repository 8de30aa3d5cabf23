import QtQuick
import QtQuick.Controls.Basic

// The two permissions the program needs, each with its state and its action.
// Re-reads them whenever it comes on screen, whenever the application
// becomes active again (so a grant made in the system settings shows at once)
// and whenever audio starts or stops failing while it is on screen.
Column {
    id: settings
    required property QtObject model
    required property Style style
    property QtObject application: Qt.application
    property bool onScreen: false
    // The global keys (push to talk, reply), the controller (for the name) and the stored settings; optional.
    property QtObject hotkey: null
    property QtObject replyHotkey: null
    property QtObject controller: null
    property QtObject preferences: null

    spacing: 4

    // A text field in the panel's colours, light or dark, not the style's white box.
    component PanelField: TextField {
        id: field
        required property Style style
        color: style.label
        placeholderTextColor: style.secondary
        selectionColor: style.buttonFill
        selectedTextColor: "white"
        background: Rectangle {
            implicitHeight: 28
            radius: 6
            color: "transparent"
            border.width: field.activeFocus ? 2 : 1
            border.color: field.activeFocus ? field.style.accent : field.style.separator
        }
    }

    // A global key and its status line: click (or Space) and press the key to
    // use; Escape gives up; the other key's chord is refused.
    component KeyChooser: Column {
        id: chooser
        required property QtObject hotkey
        property QtObject otherHotkey: null
        // objectNames of the field, its Clear button and the status line.
        required property var names
        required property string promptText
        required property string keyText
        required property string noneText
        required property string sameKeyText
        function statusText(status, key) { return "" }
        visible: hotkey !== null
        width: settings.width
        spacing: 4
        Row {
            width: chooser.width
            spacing: 8
            AbstractButton {
                id: keyField
                objectName: chooser.names[0]
                property bool isCapturing: false
                // Why the last key pressed was not taken; capturing goes on.
                property string refusal: ""
                readonly property string key: chooser.hotkey ? chooser.hotkey.key : ""
                readonly property string keyLabel: chooser.hotkey ? chooser.hotkey.keyLabel : ""
                width: parent.width - clearButton.width - parent.spacing
                focusPolicy: Qt.StrongFocus
                padding: 4
                leftPadding: 8
                text: isCapturing ? (refusal !== "" ? refusal : chooser.promptText)
                                  : key !== "" ? chooser.keyText.arg(keyLabel) : chooser.noneText
                onIsCapturingChanged: refusal = ""
                Connections {
                    target: chooser.hotkey
                    function onChoiceSettled(chord, refusal) {
                        if (!keyField.isCapturing)
                            return
                        if (refusal === "")
                            keyField.isCapturing = false
                        else
                            keyField.refusal = refusal === "conflict"
                                ? qsTr("%1 is used by another program: press another key\u2026").arg(chooser.hotkey.labelFor(chord))
                                : qsTr("This keyboard has no %1 key: press another key\u2026").arg(chooser.hotkey.labelFor(chord))
                    }
                }
                font.pixelSize: settings.style.callout
                contentItem: Text {
                    text: keyField.text
                    font: keyField.font
                    color: settings.style.label
                    wrapMode: Text.Wrap // never cut: "press a key…" and long chords take a second line
                    verticalAlignment: Text.AlignVCenter
                    Accessible.ignored: true
                }
                background: Rectangle {
                    implicitHeight: 26
                    radius: 6
                    color: "transparent"
                    border.width: keyField.activeFocus ? 2 : 1
                    border.color: keyField.activeFocus ? settings.style.accent : settings.style.separator
                }
                onClicked: isCapturing = true
                onActiveFocusChanged: if (!activeFocus) isCapturing = false
                Keys.onPressed: (event) => {
                    if (!isCapturing) {
                        if (event.key === Qt.Key_Space || event.key === Qt.Key_Return || event.key === Qt.Key_Enter) {
                            isCapturing = true
                            event.accepted = true
                        }
                        return
                    }
                    event.accepted = true
                    if (event.key === Qt.Key_Escape) {
                        isCapturing = false
                        return
                    }
                    const chord = chooser.hotkey.chordFor(event.key, event.modifiers)
                    if (chord === "")
                        return // a modifier alone: wait for the key it goes with
                    if (chooser.otherHotkey && chooser.otherHotkey.key === chord) {
                        refusal = chooser.sameKeyText.arg(chooser.hotkey.labelFor(chord)) // one chord, two keys: never
                        return
                    }
                    chooser.hotkey.chooseKey(chord) // capturing ends once the key is taken
                }
                Accessible.role: Accessible.Button
                Accessible.name: text
            }
            PillButton {
                id: clearButton
                objectName: chooser.names[1]
                anchors.verticalCenter: parent.verticalCenter
                style: settings.style
                text: qsTr("Clear")
                enabled: keyField.key !== ""
                onClicked: chooser.hotkey.setKey("")
            }
        }
        Text {
            objectName: chooser.names[2]
            visible: chooser.hotkey !== null && text !== ""
            width: chooser.width
            wrapMode: Text.Wrap
            textFormat: Text.PlainText
            font.pixelSize: settings.style.caption2
            readonly property string status: chooser.hotkey ? chooser.hotkey.statusName : "off"
            readonly property string key: chooser.hotkey ? chooser.hotkey.keyLabel : ""
            color: status === "ready" || status === "waiting" || status === "off"
                   ? settings.style.secondary : settings.style.orange
            text: chooser.statusText(status, key)
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }
    }

    onOnScreenChanged: if (onScreen) model.refresh()
    // The sound server going away or coming back changes what the microphone
    // row can say: read again while on screen, not only when opened.
    readonly property bool hasAudioError: controller !== null && controller.hasAudioError
    onHasAudioErrorChanged: if (onScreen) model.refresh()
    Component.onCompleted: if (onScreen) model.refresh()
    Connections {
        target: settings.application
        function onStateChanged() {
            if (settings.onScreen && settings.application.state === Qt.ApplicationActive)
                settings.model.refresh()
        }
    }

    PlainLabel {
        objectName: "permissionsHeading"
        text: qsTr("Permissions")
        color: settings.style.secondary
        font.pixelSize: settings.style.caption
        bottomPadding: 4
    }
    PermissionRow {
        objectName: "microphoneRow"
        width: settings.width
        style: settings.style
        symbol: "mic"
        title: qsTr("Microphone")
        explanation: qsTr("Required to talk to others")
        status: settings.model.microphone
        onAllowRequested: settings.model.requestMicrophoneAccess()
        onOpenSettingsRequested: settings.model.openPrivacySettings(false)
    }
    Rectangle {
        width: settings.width
        height: 1
        color: settings.style.separator
    }
    PermissionRow {
        objectName: "localNetworkRow"
        width: settings.width
        style: settings.style
        symbol: "wifi"
        title: qsTr("Local network")
        explanation: qsTr("Required to send and receive audio between devices on your network")
        status: settings.model.localNetwork
        // The local-network check never asks the user, so "Allow" has nothing to do here.
        onAllowRequested: {}
        onOpenSettingsRequested: settings.model.openPrivacySettings(true)
    }

    // The global push-to-talk key and the name others see; shown when the
    // panel has them (the program always does).
    Rectangle {
        visible: settings.hotkey !== null
        width: settings.width
        height: 1
        color: settings.style.separator
    }
    PlainLabel {
        objectName: "pushToTalkHeading"
        visible: settings.hotkey !== null
        text: qsTr("Push to talk")
        color: settings.style.secondary
        font.pixelSize: settings.style.caption
        topPadding: 6
        bottomPadding: 4
    }
    KeyChooser {
        hotkey: settings.hotkey
        otherHotkey: settings.replyHotkey
        names: ["keyField", "clearKeyButton", "keyStatus"]
        promptText: qsTr("Push-to-talk key: press a key\u2026")
        keyText: qsTr("Push-to-talk key: %1")
        noneText: qsTr("Push-to-talk key: none")
        sameKeyText: qsTr("%1 is the reply key: press another key\u2026")
        function statusText(status, key) {
            return status === "ready" ? qsTr("Hold %1 anywhere to talk, even with the panel closed.").arg(key)
                : status === "waiting" ? qsTr("Asking the desktop for the key\u2026")
                : status === "conflict" ? qsTr("Another program already uses %1. Choose another key.").arg(key)
                : status === "unavailable" ? qsTr("This desktop does not offer global shortcuts: hold the talk button in this panel instead.")
                : status === "noSuchKey" ? qsTr("This keyboard has no %1 key. Choose another key.").arg(key)
                : status === "refused" ? qsTr("The desktop did not allow the shortcut: choose the key again to be asked again, or hold the talk button in this panel.")
                : status === "lost" ? qsTr("The push-to-talk key stopped working: the connection to the desktop was lost.")
                : qsTr("No key: hold the talk button in this panel to talk.")
        }
    }
    // The second key: Reply held anywhere (unset until chosen).
    KeyChooser {
        hotkey: settings.replyHotkey
        otherHotkey: settings.hotkey
        names: ["replyKeyField", "clearReplyKeyButton", "replyKeyStatus"]
        promptText: qsTr("Reply key: press a key\u2026")
        keyText: qsTr("Reply key: %1")
        noneText: qsTr("Reply key: none")
        sameKeyText: qsTr("%1 is the push-to-talk key: press another key\u2026")
        function statusText(status, key) {
            return status === "ready" ? qsTr("Hold %1 anywhere to reply to whoever last talked to you alone.").arg(key)
                : status === "waiting" ? qsTr("Asking the desktop for the key\u2026")
                : status === "conflict" ? qsTr("Another program already uses %1. Choose another key.").arg(key)
                : status === "unavailable" ? qsTr("This desktop does not offer global shortcuts: hold the reply button in this panel instead.")
                : status === "noSuchKey" ? qsTr("This keyboard has no %1 key. Choose another key.").arg(key)
                : status === "refused" ? qsTr("The desktop did not allow the shortcut: choose the key again to be asked again, or hold the reply button in this panel.")
                : status === "lost" ? qsTr("The reply key stopped working: the connection to the desktop was lost.")
                : qsTr("No reply key: hold the reply button in this panel to reply.")
        }
    }
    PlainLabel {
        visible: settings.controller !== null
        text: qsTr("Name others see")
        color: settings.style.secondary
        font.pixelSize: settings.style.caption
        topPadding: 6
    }
    PanelField {
        id: nameField
        style: settings.style
        objectName: "nameField"
        visible: settings.controller !== null
        width: settings.width
        font.pixelSize: settings.style.callout
        text: settings.controller ? settings.controller.displayName : ""
        selectByMouse: true
        // Applied when done; a name the network cannot carry goes back to the current one.
        onEditingFinished: {
            settings.controller.displayName = text
            text = Qt.binding(() => settings.controller ? settings.controller.displayName : "")
        }
        Accessible.name: qsTr("Name others see")
    }
    // The channel: a name and a passphrase for a private one, nothing for Everyone.
    PlainLabel {
        visible: settings.controller !== null
        text: qsTr("Channel")
        color: settings.style.secondary
        font.pixelSize: settings.style.caption
        topPadding: 6
    }
    PanelField {
        id: channelField
        style: settings.style
        objectName: "channelField"
        visible: settings.controller !== null
        width: settings.width
        font.pixelSize: settings.style.callout
        placeholderText: qsTr("Everyone")
        text: settings.controller && settings.controller.isChannelPrivate ? settings.controller.channelName : ""
        selectByMouse: true
        Accessible.name: qsTr("Channel")
    }
    PanelField {
        id: passphraseField
        style: settings.style
        objectName: "passphraseField"
        visible: settings.controller !== null
        width: settings.width
        font.pixelSize: settings.style.callout
        echoMode: TextInput.Password
        placeholderText: channelField.text.trim() === "" ? qsTr("No passphrase for Everyone")
                                                         : qsTr("Passphrase: several random words")
        Accessible.name: qsTr("Passphrase")
        onAccepted: joinButton.clicked()
    }
    Row {
        visible: settings.controller !== null
        width: settings.width
        spacing: 8
        PillButton {
            id: joinButton
            objectName: "joinChannelButton"
            style: settings.style
            text: qsTr("Join")
            onClicked: {
                channelStatus.isRefused = !settings.controller.setChannel(channelField.text, passphraseField.text)
                if (!channelStatus.isRefused)
                    passphraseField.text = ""
            }
        }
        Text {
            id: channelStatus
            objectName: "channelStatus"
            property bool isRefused: false
            anchors.verticalCenter: parent.verticalCenter
            width: parent.width - joinButton.width - parent.spacing
            wrapMode: Text.Wrap
            textFormat: Text.PlainText
            font.pixelSize: settings.style.caption2
            color: isRefused ? settings.style.orange : settings.style.secondary
            text: isRefused ? qsTr("A private channel needs a name and a passphrase.")
                : settings.controller && settings.controller.isChannelPrivate
                  ? qsTr("Only those with the passphrase hear you.")
                  : qsTr("Everyone on this network hears you.")
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }
    }
    Text {
        objectName: "settingsReset"
        visible: settings.preferences !== null && settings.preferences.wasReset
        width: settings.width
        wrapMode: Text.Wrap
        textFormat: Text.PlainText
        topPadding: 6
        text: qsTr("Your settings could not be read and were replaced by the defaults.")
        color: settings.style.orange
        font.pixelSize: settings.style.caption2
        Accessible.role: Accessible.StaticText
        Accessible.name: text
    }
}
