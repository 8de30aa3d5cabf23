import QtQuick

// One permission: what it is for, its state, and the one action that can change it.
Item {
    id: row
    required property Style style
    required property string symbol
    required property string title
    required property string explanation
    required property string status
    signal allowRequested()
    signal openSettingsRequested()

    readonly property bool needsAttention: status === "denied" || status === "notDetermined"
    implicitHeight: Math.max(info.implicitHeight, control.implicitHeight) + 12

    Symbol {
        id: icon
        x: (22 - width) / 2
        anchors.verticalCenter: parent.verticalCenter
        name: row.symbol
        color: row.style.accent
        size: row.style.callout + 2
    }

    Column {
        id: info
        x: 32
        anchors.verticalCenter: parent.verticalCenter
        width: row.width - x - 8 - control.width
        spacing: 1
        PlainLabel {
            objectName: "rowTitle"
            width: Math.min(implicitWidth, parent.width)
            text: row.title
            color: row.style.label
            font.pixelSize: row.style.callout
        }
        Text {
            objectName: "rowExplanation"
            width: parent.width
            text: row.explanation
            textFormat: Text.PlainText
            wrapMode: Text.Wrap
            color: row.style.secondary
            font.pixelSize: row.style.caption2
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }
        Row {
            objectName: "rowWarning"
            visible: row.needsAttention
            spacing: 3
            Symbol {
                name: "exclamationmark.triangle.fill"
                color: row.style.orange
                size: row.style.caption2
                y: 1
            }
            Text {
                objectName: "rowWarningText"
                width: info.width - row.style.caption2 - 3
                text: qsTr("Not set \u2014 Hollerhopper won't work without this")
                textFormat: Text.PlainText
                wrapMode: Text.Wrap
                color: row.style.orange
                font.pixelSize: row.style.caption2
                Accessible.role: Accessible.StaticText
                Accessible.name: text
            }
        }
    }

    Loader {
        id: control
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        sourceComponent: row.status === "granted" ? granted
                       : row.status === "denied" ? openSettings
                       : row.status === "notDetermined" ? allow
                       : row.status === "unavailable" ? noSoundServer
                       : row.status === "noDevice" ? noMicrophone : checking
    }

    Component {
        id: granted
        Row {
            objectName: "grantedLabel"
            spacing: 3
            Symbol {
                anchors.verticalCenter: parent.verticalCenter
                name: "checkmark"
                color: row.style.green
                size: row.style.caption2 + 2
            }
            PlainLabel {
                objectName: "statusText"
                text: qsTr("Granted")
                color: row.style.green
                font.pixelSize: row.style.caption2
            }
        }
    }
    Component {
        id: openSettings
        PillButton {
            objectName: "openSettingsButton"
            style: row.style
            tint: row.style.orange
            text: qsTr("Open Settings")
            onClicked: row.openSettingsRequested()
        }
    }
    Component {
        id: allow
        PillButton {
            objectName: "allowButton"
            style: row.style
            prominent: true
            text: qsTr("Allow")
            onClicked: row.allowRequested()
        }
    }
    Component {
        id: noSoundServer
        Text {
            objectName: "statusText"
            // Wrapped in at most half the row, so the title beside it stays whole.
            width: Math.min(implicitWidth, row.width / 2)
            text: qsTr("No sound server is running")
            textFormat: Text.PlainText
            wrapMode: Text.Wrap
            horizontalAlignment: Text.AlignRight
            color: row.style.secondary
            font.pixelSize: row.style.caption2
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }
    }
    Component {
        id: noMicrophone
        PlainLabel {
            objectName: "statusText"
            text: qsTr("No microphone found")
            color: row.style.secondary
            font.pixelSize: row.style.caption2
        }
    }
    Component {
        id: checking
        Text {
            objectName: "statusText"
            // Wrapped in at most half the row, so the title beside it stays whole.
            width: Math.min(implicitWidth, row.width / 2)
            text: qsTr("Checking\u2026")
            textFormat: Text.PlainText
            wrapMode: Text.Wrap
            horizontalAlignment: Text.AlignRight
            color: row.style.secondary
            font.pixelSize: row.style.caption2
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }
    }
}
