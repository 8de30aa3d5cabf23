import QtQuick

// The round hold-to-talk button. It only reports the gesture: `engaged` on
// the touch-down and on every movement while held, `released` when the
// pointer goes up or the hold is taken away. The panel decides what they mean.
// Red and "ON AIR" only while we transmit: a press that could not go on air
// stays as it was.
Item {
    id: button
    required property Style style
    property bool isPressed: false
    property bool isOnAir: false
    property bool allGranted: false
    // What keeps it from working, in a few words, when not allGranted.
    property string blocker: qsTr("Permissions needed")

    signal engaged()
    signal released()

    // Space or Enter held on the focused button is a hold, like the pointer;
    // their auto-repeat is no new press, and losing the focus lets go.
    property bool isKeyHeld: false
    activeFocusOnTab: true
    function isTalkKey(key) {
        return key === Qt.Key_Space || key === Qt.Key_Return || key === Qt.Key_Enter
    }
    // X delivers a held key's repeats as release and press pairs, which Qt
    // does not always mark as repeats: a release counts once no press has
    // followed it for a moment.
    Timer {
        id: keyUp
        interval: 80
        onTriggered: {
            button.isKeyHeld = false
            button.released()
        }
    }
    Keys.onPressed: (event) => {
        if (!isTalkKey(event.key))
            return
        event.accepted = true
        keyUp.stop()
        if (event.isAutoRepeat || isKeyHeld)
            return
        isKeyHeld = true
        button.engaged()
    }
    Keys.onReleased: (event) => {
        if (!isTalkKey(event.key))
            return
        event.accepted = true
        if (event.isAutoRepeat || !isKeyHeld)
            return
        keyUp.restart()
    }
    onActiveFocusChanged: {
        if (!activeFocus && isKeyHeld) {
            keyUp.stop()
            isKeyHeld = false
            button.released()
        }
    }

    width: 160
    height: 160

    Spring {
        id: pressSpring
        target: button.isPressed ? 0.95 : 1.0
        response: 0.2
        dampingFraction: 0.6
    }
    // The press shrinks the face itself instead of scaling the button: the
    // software renderer draws a scaled circle from a cached image, with steps
    // along its edge.
    Item {
        id: face
        objectName: "talkFace"
        anchors.centerIn: parent
        width: button.width * pressSpring.value
        height: width

        // Shadow: black at 33 %, wider while resting than while pressed.
        Repeater {
            model: 3
            Rectangle {
                readonly property real spread: (button.isPressed ? 2 : 6) * (index + 1) / 3
                x: -spread
                y: -spread
                width: face.width + 2 * spread
                height: width
                radius: width / 2
                color: Qt.rgba(0, 0, 0, 0.33 / 3)
            }
        }

        // Where the keyboard is.
        Rectangle {
            visible: button.activeFocus
            anchors.fill: parent
            anchors.margins: -4
            radius: width / 2
            color: "transparent"
            border.width: 2
            border.color: button.style.accent
        }

        Rectangle {
            id: disc
            anchors.fill: parent
            radius: width / 2
            // Grey, not faded, while it cannot talk: its words stay readable.
            color: button.isOnAir ? button.style.buttonOnAir : button.allGranted ? button.style.buttonFill
                                                                                 : button.style.buttonDisabled
            Behavior on color { ColorAnimation { duration: 120 } }
        }
    }

    Column {
        anchors.centerIn: parent
        spacing: 6
        Symbol {
            anchors.horizontalCenter: parent.horizontalCenter
            name: button.isOnAir ? "mic.fill" : "mic"
            color: "white"
            size: 40
        }
        Text {
            id: caption
            objectName: "talkLabel"
            anchors.horizontalCenter: parent.horizontalCenter
            text: button.isOnAir ? qsTr("ON AIR")
                                 : button.allGranted ? qsTr("HOLD TO TALK") : button.blocker.toUpperCase()
            color: "white"
            font.pixelSize: button.style.caption
            font.bold: true
            horizontalAlignment: Text.AlignHCenter
            Accessible.ignored: true
        }
    }

    MouseArea {
        id: touch
        objectName: "talkArea"
        anchors.fill: parent
        preventStealing: true
        // Only the circle reacts: a press in the corners goes to what is beneath.
        onPressed: (mouse) => {
            const dx = mouse.x - width / 2
            const dy = mouse.y - height / 2
            if (dx * dx + dy * dy > (width / 2) * (width / 2)) {
                mouse.accepted = false
                return
            }
            button.engaged()
        }
        onPositionChanged: if (pressed) button.engaged()
        onReleased: button.released()
        onCanceled: button.released()
    }

    // Screen readers: a button named by what it does.
    Accessible.role: Accessible.Button
    Accessible.name: allGranted ? qsTr("Hold to talk") : qsTr("Hold to talk \u2014 %1").arg(blocker.toLowerCase())
    Accessible.description: caption.text
    Accessible.focusable: true
}
