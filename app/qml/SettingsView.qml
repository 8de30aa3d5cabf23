import QtQuick

// The two permissions the program needs, each with its state and its action.
// Re-reads them whenever it comes on screen and whenever the application
// becomes active again, so a grant made in the system settings shows at once.
Column {
    id: settings
    required property QtObject model
    required property Style style
    property QtObject application: Qt.application
    property bool onScreen: false

    spacing: 4

    onOnScreenChanged: if (onScreen) model.refresh()
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
        explanation: qsTr("Required to send and receive audio between devices on your WiFi")
        status: settings.model.localNetwork
        // The local-network check never asks the user, so "Allow" has nothing to do here.
        onAllowRequested: {}
        onOpenSettingsRequested: settings.model.openPrivacySettings(true)
    }
}
