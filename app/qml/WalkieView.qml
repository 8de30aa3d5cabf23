import QtQuick
import QtQuick.Controls.Basic

// The walkie panel: tool row, name and status line, permission banner, the
// talk button and who is on the network; or the settings in its place.
Rectangle {
    id: walkie
    objectName: "walkieView"

    required property QtObject controller
    required property QtObject networkInfo
    required property QtObject permissions
    required property QtObject messages
    // The object whose `state` tells when the application becomes active.
    property QtObject application: Qt.application
    // Set by the window that hosts the panel while it is on screen.
    property bool onScreen: false

    property bool isPressed: false
    property bool showSettings: false

    readonly property Style style: Style {}
    readonly property bool allGranted: permissions.allGranted
    readonly property var missingNames: permissions.missingPermissions
    readonly property string statusLine: controller.isTransmitting ? qsTr("You're talking\u2026")
                                        : controller.hasTalkingPeer ? controller.talkersText
                                        : controller.connectionState
    readonly property color statusColor: controller.isTransmitting ? style.red
                                        : controller.hasTalkingPeer ? style.green : style.secondary
    readonly property string heading: qsTr("On ") + (networkInfo.hasSsid ? networkInfo.ssid : qsTr("this"))
                                      + qsTr(" network (") + controller.peers.length + ")"

    width: 280
    implicitHeight: content.implicitHeight + 32
    color: style.background

    // Touch-down and every movement while held: start talking once.
    function pressChanged() {
        if (!allGranted || isPressed)
            return
        isPressed = true
        controller.beginTalking()
    }
    // Release: end what the press started, whatever the permissions are now.
    function pressEnded() {
        if (!isPressed)
            return
        isPressed = false
        controller.endTalking()
    }

    onOnScreenChanged: {
        if (onScreen)
            controller.start()
        else
            pressEnded() // a hidden panel cannot be released any more
    }

    Connections {
        target: walkie.messages
        function onPosted(name) {
            if (name === "walkieOpenSettings")
                walkie.showSettings = true
        }
    }

    Column {
        id: content
        x: 16
        y: 16
        width: walkie.width - 32
        spacing: 16

        Item {
            width: parent.width
            height: 20
            SymbolButton {
                objectName: "settingsButton"
                anchors.left: parent.left
                anchors.verticalCenter: parent.verticalCenter
                symbol: walkie.showSettings ? "chevron.left" : "gearshape"
                tint: walkie.style.secondary
                symbolSize: walkie.style.title3
                text: walkie.showSettings ? qsTr("Back") : qsTr("Settings")
                onClicked: walkie.showSettings = !walkie.showSettings
            }
            SymbolButton {
                objectName: "muteButton"
                anchors.right: parent.right
                anchors.verticalCenter: parent.verticalCenter
                symbol: walkie.controller.isMuted ? "speaker.slash.fill" : "speaker.wave.2.fill"
                tint: walkie.controller.isMuted ? walkie.style.red : walkie.style.secondary
                symbolSize: walkie.style.title3
                text: walkie.controller.isMuted ? qsTr("Unmute") : qsTr("Mute")
                onClicked: walkie.controller.isMuted = !walkie.controller.isMuted
            }
        }

        Loader {
            id: settingsLoader
            active: walkie.showSettings
            visible: active
            width: parent.width
            sourceComponent: Column {
                width: settingsLoader.width
                spacing: 16
                PlainLabel {
                    objectName: "settingsHeading"
                    text: qsTr("Settings")
                    color: walkie.style.label
                    font.pixelSize: walkie.style.headline
                    font.bold: true
                }
                SettingsView {
                    objectName: "settingsView"
                    width: parent.width
                    model: walkie.permissions
                    style: walkie.style
                    application: walkie.application
                    onScreen: walkie.onScreen && walkie.showSettings
                }
            }
        }

        Column {
            id: mainContent
            objectName: "mainContent"
            visible: !walkie.showSettings
            width: parent.width
            spacing: 16

            Column {
                width: parent.width
                spacing: 4
                PlainLabel {
                    objectName: "title"
                    anchors.horizontalCenter: parent.horizontalCenter
                    text: qsTr("Hollerhopper")
                    color: walkie.style.label
                    font.pixelSize: walkie.style.headline
                    font.bold: true
                }
                PlainLabel {
                    objectName: "statusLine"
                    width: Math.min(implicitWidth, parent.width)
                    anchors.horizontalCenter: parent.horizontalCenter
                    horizontalAlignment: Text.AlignHCenter
                    text: walkie.statusLine
                    color: walkie.statusColor
                    font.pixelSize: walkie.style.subheadline
                    Behavior on color { ColorAnimation { duration: 200 } }
                }
            }

            AbstractButton {
                id: banner
                objectName: "permissionBanner"
                visible: walkie.missingNames.length > 0
                width: parent.width
                text: walkie.missingNames.join(qsTr(" & ")) + qsTr(" access needed \u2014 tap to fix")
                padding: 0
                background: null
                focusPolicy: Qt.TabFocus
                contentItem: Row {
                    spacing: 4
                    Symbol {
                        id: warning
                        name: "exclamationmark.triangle.fill"
                        color: walkie.style.orange
                        size: bannerText.font.pixelSize + 2
                        y: 1
                    }
                    Text {
                        id: bannerText
                        objectName: "bannerText"
                        width: banner.width - warning.width - 4
                        text: banner.text
                        textFormat: Text.PlainText
                        wrapMode: Text.Wrap
                        horizontalAlignment: Text.AlignHCenter
                        color: walkie.style.orange
                        font.pixelSize: walkie.style.caption
                        Accessible.ignored: true
                    }
                }
                Accessible.role: Accessible.Button
                Accessible.name: text
                onClicked: walkie.showSettings = true
            }

            TalkButton {
                id: talkButton
                objectName: "talkButton"
                anchors.horizontalCenter: parent.horizontalCenter
                style: walkie.style
                isPressed: walkie.isPressed
                allGranted: walkie.allGranted
                onEngaged: walkie.pressChanged()
                onReleased: walkie.pressEnded()
            }

            Rectangle {
                width: parent.width
                height: 1
                color: walkie.style.separator
            }

            Column {
                objectName: "peerSection"
                width: parent.width
                spacing: 8
                PlainLabel {
                    objectName: "peerHeading"
                    width: Math.min(implicitWidth, parent.width)
                    text: walkie.heading
                    color: walkie.style.secondary
                    font.pixelSize: walkie.style.caption
                }
                PlainLabel {
                    objectName: "noPeers"
                    visible: walkie.controller.peers.length === 0
                    text: qsTr("No one else yet")
                    color: walkie.style.tertiary
                    font.pixelSize: walkie.style.caption
                }
                Repeater {
                    objectName: "peerRows"
                    model: walkie.controller.peers
                    delegate: Row {
                        id: peerRow
                        required property var modelData
                        readonly property bool isTalking: walkie.controller.talkingPeerNames.indexOf(modelData.name) >= 0
                        objectName: "peerRow"
                        spacing: 6
                        Rectangle {
                            objectName: "peerDot"
                            anchors.verticalCenter: parent.verticalCenter
                            width: 8
                            height: 8
                            radius: 4
                            color: peerRow.isTalking ? walkie.style.green : walkie.style.secondary
                        }
                        PlainLabel {
                            objectName: "peerName"
                            width: Math.min(implicitWidth, content.width - 14)
                            text: peerRow.modelData.name
                            color: walkie.style.label
                            font.pixelSize: walkie.style.callout
                        }
                    }
                }
            }
        }
    }
}
