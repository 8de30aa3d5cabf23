import QtQuick
import QtQuick.Controls.Basic

// A plain button showing only a symbol; `text` is its name for screen readers.
AbstractButton {
    id: control
    property string symbol
    property color tint: "black"
    property real symbolSize: 16

    implicitWidth: 24
    implicitHeight: 20
    padding: 0
    hoverEnabled: true
    focusPolicy: Qt.TabFocus
    contentItem: Item {
        Symbol {
            anchors.centerIn: parent
            name: control.symbol
            color: control.tint
            size: control.symbolSize
            opacity: control.pressed ? 0.6 : 1.0
        }
    }
    background: null
    Accessible.role: Accessible.Button
    Accessible.name: text
    // A screen reader's Press is a click (Qt's controls ignore it here).
    Accessible.onPressAction: control.clicked()
}
