import QtQuick
import QtQuick.Controls.Basic

// A small bordered button, or a filled one (white words) when `prominent`.
AbstractButton {
    id: control
    required property Style style
    property color tint: style.accent
    property bool prominent: false

    padding: 4
    leftPadding: 10
    rightPadding: 10
    focusPolicy: Qt.TabFocus
    font.pixelSize: style.caption
    contentItem: Text {
        text: control.text
        font: control.font
        color: control.prominent ? "white" : control.tint
        textFormat: Text.PlainText
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        Accessible.ignored: true
    }
    background: Rectangle {
        implicitHeight: 22
        radius: 6
        color: control.prominent ? control.style.buttonFill : Qt.rgba(control.tint.r, control.tint.g, control.tint.b,
                                                          control.pressed ? 0.25 : 0.12)
        border.width: control.prominent ? 0 : 1
        border.color: Qt.rgba(control.tint.r, control.tint.g, control.tint.b, 0.6)
        opacity: control.pressed && control.prominent ? 0.8 : 1.0
    }
    Accessible.role: Accessible.Button
    Accessible.name: text
    // A screen reader's Press is a click (Qt's controls ignore it here).
    Accessible.onPressAction: control.clicked()
}
