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
    // The global push-to-talk and reply keys and the stored settings; absent in tests that do not need them.
    property QtObject hotkey: null
    property QtObject replyHotkey: null
    property QtObject preferences: null
    // The desktop's light or dark (`isDark`); absent: the desktop's palette decides.
    property QtObject appearance: null
    // The object whose `state` tells when the application becomes active.
    property QtObject application: Qt.application
    // Set by the window that hosts the panel while it is on screen.
    property bool onScreen: false

    property bool isPressed: false
    property bool showSettings: false
    // Why the last press to one peer was refused, shown for a few seconds.
    property string directProblem: ""

    // A menu button in the tool row, for a panel in a window of its own (no
    // tray, so no status item to right-click): asks for the program's menu
    // at `position`, in screen coordinates.
    property bool hasMenu: false
    signal menuRequested(point position)

    // Escape: the window that hosts the panel hides it.
    signal closeRequested()
    Keys.onEscapePressed: closeRequested()

    readonly property Style style: Style { isDark: walkie.appearance ? walkie.appearance.isDark : isSystemDark }
    readonly property bool allGranted: permissions.allGranted
    readonly property var missingNames: permissions.missingPermissions
    // What keeps the talk button from working, in a few words; empty when it works.
    // Followed live: the sound server or the network coming back enables it.
    readonly property string talkBlocker: controller.hasNoNetwork ? qsTr("No network")
                                        : permissions.microphone === "unavailable" ? qsTr("No sound server")
                                        : permissions.microphone === "noDevice" ? qsTr("No microphone")
                                        : permissions.microphone === "denied" ? qsTr("Mic access refused")
                                        : permissions.localNetwork === "denied" ? qsTr("Network refused")
                                        : missingNames.length > 0 ? qsTr("Permissions needed")
                                        : !allGranted ? qsTr("Connecting\u2026") : ""
    readonly property bool canTalk: talkBlocker === ""
    // A chosen key that does nothing (a desktop without global shortcuts is
    // said in Settings and the tooltip: nothing to choose there).
    readonly property string keyProblem: hotkey !== null && hotkey.statusName !== "unavailable"
                                         && !controller.hasConnectionError ? hotkey.problem : ""
    readonly property string statusLine: directProblem !== "" ? directProblem
                                        : controller.isTransmitting ? qsTr("You're talking\u2026")
                                        : controller.talkFailure !== "" ? controller.talkFailure
                                        : controller.hasTalkingPeer ? controller.talkersText
                                        : controller.isInboundBlocked ? qsTr("Incoming audio is blocked on this computer")
                                        : keyProblem !== "" ? keyProblem
                                        : controller.connectionState
    readonly property bool isTalkersLine: directProblem === "" && !controller.isTransmitting && controller.talkFailure === ""
                                          && controller.hasTalkingPeer
    // Every error and warning in the one error colour.
    readonly property color statusColor: directProblem !== "" ? style.orange
                                        : controller.isTransmitting ? style.red
                                        : controller.talkFailure !== "" ? style.orange
                                        : controller.hasTalkingPeer ? style.green
                                        : controller.isInboundBlocked || keyProblem !== "" || controller.hasConnectionError
                                          ? style.orange : style.secondary
    // The count goes in first: a "%1" inside a network's name stays as it is.
    readonly property string heading: networkInfo.hasSsid
                                      ? qsTr("On %2 network (%1)").arg(controller.peers.length).arg(networkInfo.ssid)
                                      : qsTr("On this network (%1)").arg(controller.peers.length)

    // The room the window that hosts the panel has for it; the panel never
    // grows past it (0: no limit): the peer list and the Recent list share
    // what is left and scroll.
    property int maximumHeight: 0
    // The least the panel needs with both lists shrunk to about two rows
    // each: the host gives it at least that, moving up if it must.
    readonly property real minimumHeight: showSettings ? implicitHeight
                                          : fixedHeight + Math.min(peerList.wanted, peerList.rowHeight * 2)
                                            + Math.min(recentList.wanted, recentList.leastHeight)
    // Everything but the two lists' own heights, from the sizes of what is
    // around them (never from the lists' positions, which follow their heights).
    readonly property real fixedHeight: content.y + mainContent.y + peerSection.y + peerHeading.height + peerSection.spacing
                                        + (noPeers.visible ? noPeers.height : 0)
                                        + (unheardHint.visible ? peerSection.spacing + unheardHint.height : 0)
                                        + (recentSection.visible ? mainContent.spacing + recentHeading.height + recentSection.spacing : 0)
                                        + 16
    readonly property real listRoom: maximumHeight > 0 ? maximumHeight - fixedHeight : Infinity

    width: 280
    implicitHeight: content.implicitHeight + 32
    height: maximumHeight > 0 ? Math.min(implicitHeight, maximumHeight) : implicitHeight
    clip: true
    color: style.background

    // Touch-down and every movement while held: start talking once.
    function pressChanged() {
        if (!canTalk || isPressed)
            return
        isPressed = true
        controller.beginTalking()
    }
    // A press on a peer's own talk button: to that peer alone, or refused
    // (nothing is sent, the failed cue plays) with the reason in the status line.
    function pressDirect(name, spokenName) {
        if (!allGranted || isPressed)
            return
        const problem = name === undefined ? controller.beginReply() : controller.beginTalkingTo(name)
        if (problem === "") {
            isPressed = true
            directProblem = ""
            return
        }
        showDirectProblem(problem, spokenName)
    }
    function showDirectProblem(problem, spokenName) {
        directProblem = problem === "nobodyToReply" ? qsTr("Nobody has talked to you in the last minute")
                      : problem === "notReachable" ? qsTr("%1 can't be reached from here").arg(spokenName)
                      : qsTr("%1 is no longer on this network").arg(spokenName)
        directProblemTimer.restart()
    }
    Timer {
        id: directProblemTimer
        interval: 4000
        onTriggered: walkie.directProblem = ""
    }
    // Release: end what the press started, whatever the permissions are now.
    function pressEnded() {
        if (!isPressed)
            return
        isPressed = false
        controller.endTalking()
    }

    onOnScreenChanged: {
        if (onScreen) {
            controller.start()
            clock = Date.now()
            controller.markMessagesHeard()
            if (!showSettings)
                talkButton.forceActiveFocus() // ready for Space at once
        } else {
            pressEnded() // a hidden panel cannot be released any more
            showSettings = false // it opens again on the talk button
        }
    }
    onShowSettingsChanged: if (!showSettings && onScreen) talkButton.forceActiveFocus()

    Connections {
        target: walkie.messages
        function onPosted(name) {
            if (name === "walkieOpenSettings")
                walkie.showSettings = true
            else if (name.startsWith("walkieReplyRefused:")) // the reply key, held with nobody to answer
                walkie.showDirectProblem(name.slice(name.indexOf(":") + 1), "")
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
                id: menuButton
                objectName: "menuButton"
                visible: walkie.hasMenu
                anchors.right: parent.right
                anchors.verticalCenter: parent.verticalCenter
                symbol: "line.3.horizontal"
                tint: walkie.style.secondary
                symbolSize: walkie.style.title3
                text: qsTr("Menu")
                onClicked: walkie.menuRequested(mapToGlobal(0, height))
            }
            SymbolButton {
                objectName: "muteButton"
                anchors.right: walkie.hasMenu ? menuButton.left : parent.right
                anchors.rightMargin: walkie.hasMenu ? 8 : 0
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
                    hotkey: walkie.hotkey
                    replyHotkey: walkie.replyHotkey
                    controller: walkie.controller
                    preferences: walkie.preferences
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
                // A private channel's name, with a lock; the open channel shows nothing here.
                Row {
                    objectName: "channelHeading"
                    visible: walkie.controller.isChannelPrivate
                    anchors.horizontalCenter: parent.horizontalCenter
                    spacing: 4
                    Symbol {
                        name: "lock.fill"
                        color: walkie.style.secondary
                        size: channelLabel.font.pixelSize
                        anchors.verticalCenter: parent.verticalCenter
                    }
                    PlainLabel {
                        id: channelLabel
                        objectName: "channelName"
                        width: Math.min(implicitWidth, content.width - 20)
                        text: walkie.controller.channelName
                        color: walkie.style.secondary
                        font.pixelSize: walkie.style.subheadline
                        Accessible.name: qsTr("Private channel %1").arg(walkie.controller.channelName)
                    }
                }
                PlainLabel {
                    id: statusText
                    objectName: "statusLine"
                    width: parent.width
                    horizontalAlignment: Text.AlignHCenter
                    // Our own sentences wrap rather than lose their end; a line
                    // of talkers' names stays one line (the names are elided).
                    wrapMode: walkie.isTalkersLine ? Text.NoWrap : Text.Wrap
                    maximumLineCount: walkie.isTalkersLine ? 1 : 3
                    // Whole lines of this font, whatever fallback font a name
                    // needs: the button below stays put when someone starts talking.
                    lineHeightMode: Text.FixedHeight
                    lineHeight: Math.ceil(statusMetrics.height)
                    FontMetrics { id: statusMetrics; font: statusText.font }
                    text: walkie.statusLine
                    // Read without the marks that isolate a name.
                    Accessible.name: walkie.statusLine.replace(/[\u2068\u2069]/g, "")
                    color: walkie.statusColor
                    font.pixelSize: walkie.style.subheadline
                    Behavior on color { ColorAnimation { duration: 200 } }
                }
            }

            Text {
                objectName: "wrongPassphrase"
                visible: walkie.controller.isWrongPassphrase
                width: parent.width
                text: qsTr("Someone nearby is using this channel with a different passphrase")
                textFormat: Text.PlainText
                wrapMode: Text.Wrap
                horizontalAlignment: Text.AlignHCenter
                color: walkie.style.orange
                font.pixelSize: walkie.style.caption
                Accessible.role: Accessible.StaticText
                Accessible.name: text
            }

            AbstractButton {
                id: banner
                objectName: "permissionBanner"
                visible: walkie.missingNames.length > 0
                width: parent.width
                text: qsTr("%1 access needed \u2014 tap to fix").arg(walkie.missingNames.join(qsTr(" & ")))
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
                isOnAir: walkie.controller.isTransmitting
                allGranted: walkie.canTalk
                blocker: walkie.talkBlocker
                onEngaged: walkie.pressChanged()
                onReleased: walkie.pressEnded()
            }

            // Held: answers whoever last talked to us alone, for a minute after.
            PillButton {
                objectName: "replyButton"
                anchors.horizontalCenter: parent.horizontalCenter
                visible: walkie.controller.replyName !== ""
                style: walkie.style
                text: qsTr("Hold to reply to %1").arg(walkie.controller.replyName)
                onPressed: walkie.pressDirect(undefined, "")
                onReleased: walkie.pressEnded()
                onCanceled: walkie.pressEnded()
            }

            Rectangle {
                width: parent.width
                height: 1
                color: walkie.style.separator
            }

            Column {
                id: peerSection
                objectName: "peerSection"
                width: parent.width
                spacing: 8
                PlainLabel {
                    id: peerHeading
                    objectName: "peerHeading"
                    width: Math.min(implicitWidth, parent.width)
                    text: walkie.heading
                    color: walkie.style.secondary
                    font.pixelSize: walkie.style.caption
                }
                PlainLabel {
                    id: noPeers
                    objectName: "noPeers"
                    visible: walkie.controller.peers.length === 0
                    text: qsTr("No one else yet")
                    color: walkie.style.secondary
                    font.pixelSize: walkie.style.caption
                }
                // Scrolls inside the panel past about eight rows. Every row
                // exists (not only the visible ones), so a screen reader reaches
                // all of them; Tab and the arrow keys move through the rows and
                // keep the focused one in view.
                Flickable {
                    id: peerList
                    objectName: "peerList"
                    readonly property int rowHeight: 22
                    readonly property bool isScrolling: contentHeight > height
                    visible: walkie.controller.peers.length > 0
                    width: parent.width
                    // Half a row more than eight shows that the list goes on;
                    // fewer where the panel may not grow (an open panel stays
                    // where it is): the rest scrolls. Short of room, each list
                    // gets half of it or what the other leaves, two rows at least.
                    readonly property real wanted: visible ? Math.min(contentHeight, rowHeight * 8.5) : 0
                    height: Math.max(Math.min(wanted, rowHeight * 2),
                                     Math.min(wanted, Math.max(walkie.listRoom / 2, walkie.listRoom - recentList.wanted)))
                    contentWidth: width
                    contentHeight: peerColumn.implicitHeight
                    clip: true
                    interactive: isScrolling
                    boundsBehavior: Flickable.StopAtBounds
                    flickableDirection: Flickable.VerticalFlick
                    ScrollBar.vertical: ScrollBar {
                        objectName: "peerScrollBar"
                        policy: peerList.isScrolling ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff
                    }
                    Accessible.role: Accessible.List
                    Accessible.name: walkie.heading

                    function ensureVisible(row) {
                        if (row.y < contentY)
                            contentY = row.y
                        else if (row.y + row.height > contentY + height)
                            contentY = row.y + row.height - height
                    }

                    Column {
                        id: peerColumn
                        width: peerList.width - (peerList.isScrolling ? 12 : 0)
                        Repeater {
                            id: peerRepeater
                            objectName: "peerRows"
                            model: walkie.controller.peers
                            delegate: Item {
                                id: peerRow
                                required property var modelData
                                required property int index
                                readonly property string reach: modelData.reach || "heard"
                                readonly property bool isTalking: walkie.controller.talkingPeerNames.indexOf(modelData.name) >= 0
                                readonly property string description:
                                    reach === "notHeard" ? qsTr("%1 \u2014 can't be heard from here").arg(modelData.spokenName)
                                    : reach === "notResponding" ? qsTr("%1 \u2014 not responding").arg(modelData.spokenName)
                                    : modelData.spokenName
                                objectName: "peerRow"
                                width: peerColumn.width
                                height: peerList.rowHeight
                                activeFocusOnTab: true
                                Accessible.role: Accessible.ListItem
                                Accessible.name: description
                                Accessible.description: description
                                Accessible.focusable: true
                                onActiveFocusChanged: if (activeFocus) peerList.ensureVisible(peerRow)
                                Keys.onDownPressed: { const next = peerRepeater.itemAt(index + 1); if (next) next.forceActiveFocus() }
                                Keys.onUpPressed: { const prev = peerRepeater.itemAt(index - 1); if (prev) prev.forceActiveFocus() }

                                Rectangle {
                                    anchors.fill: parent
                                    visible: peerRow.activeFocus
                                    color: "transparent"
                                    border.color: walkie.style.secondary
                                    radius: 4
                                }
                                Row {
                                    anchors.verticalCenter: parent.verticalCenter
                                    x: 2
                                    spacing: 6
                                    Rectangle {
                                        objectName: "peerDot"
                                        anchors.verticalCenter: parent.verticalCenter
                                        width: 8
                                        height: 8
                                        radius: 4
                                        // Not heard: a hollow orange ring, so it
                                        // differs in shape as well as colour.
                                        color: peerRow.isTalking ? walkie.style.green
                                             : peerRow.reach === "notHeard" ? "transparent"
                                             : peerRow.reach === "notResponding" ? walkie.style.tertiary
                                             : walkie.style.secondary
                                        border.width: peerRow.reach === "notHeard" && !peerRow.isTalking ? 2 : 0
                                        border.color: walkie.style.orange
                                    }
                                    PlainLabel {
                                        objectName: "peerName"
                                        width: Math.min(implicitWidth, peerRow.width - 44
                                                        - (peerState.visible ? peerState.implicitWidth + 6 : 0))
                                        text: peerRow.modelData.label !== undefined ? peerRow.modelData.label : peerRow.modelData.name
                                        // Not heard for long: probably gone, greyed
                                        // until heard again (DNS-SD decides removal).
                                        color: peerRow.reach === "notResponding" ? walkie.style.secondary : walkie.style.label
                                        font.pixelSize: walkie.style.callout
                                        Accessible.ignored: true
                                    }
                                    // In words too, not only in grey; the row's name says it to screen readers.
                                    Text {
                                        id: peerState
                                        objectName: "peerState"
                                        anchors.verticalCenter: parent.verticalCenter
                                        visible: peerRow.reach === "notResponding"
                                        text: qsTr("not responding")
                                        textFormat: Text.PlainText
                                        color: walkie.style.secondary
                                        font.pixelSize: walkie.style.caption
                                        font.italic: true
                                        Accessible.ignored: true
                                    }
                                }
                                // Held: talks to this peer alone (Space too, with the focus on it).
                                SymbolButton {
                                    objectName: "peerTalkButton"
                                    anchors.right: parent.right
                                    anchors.rightMargin: 4
                                    anchors.verticalCenter: parent.verticalCenter
                                    symbol: "mic.fill"
                                    tint: pressed ? walkie.style.red : walkie.style.secondary
                                    symbolSize: walkie.style.callout
                                    text: qsTr("Hold to talk to %1 alone").arg(peerRow.modelData.spokenName)
                                    onPressed: walkie.pressDirect(peerRow.modelData.name, peerRow.modelData.spokenName)
                                    onReleased: walkie.pressEnded()
                                    onCanceled: walkie.pressEnded()
                                }
                            }
                        }
                    }
                }
                Text {
                    id: unheardHint
                    objectName: "unheardHint"
                    visible: walkie.controller.peers.some(p => p.reach === "notHeard")
                    width: parent.width
                    text: qsTr("Some computers are listed but can't be heard: a firewall or the network may be blocking UDP port 54321 multicast")
                    textFormat: Text.PlainText
                    wrapMode: Text.Wrap
                    color: walkie.style.orange
                    font.pixelSize: walkie.style.caption
                    Accessible.role: Accessible.StaticText
                    Accessible.name: text
                }
            }

            // What others said lately, kept in memory only: who, to whom, when,
            // how long, and a button that plays it here again.
            Column {
                id: recentSection
                objectName: "recentSection"
                visible: walkie.controller.recentMessages.length > 0
                width: parent.width
                spacing: 6
                PlainLabel {
                    id: recentHeading
                    text: qsTr("Recent")
                    color: walkie.style.secondary
                    font.pixelSize: walkie.style.caption
                }
                // Scrolls like the peer list where the panel is short of room.
                Flickable {
                    id: recentList
                    objectName: "recentList"
                    readonly property bool isScrolling: contentHeight > height
                    readonly property real wanted: recentSection.visible ? contentHeight : 0
                    // A row and a half: one whole, and a sign that the list goes on.
                    readonly property real leastHeight: 42
                    width: parent.width
                    height: Math.max(Math.min(wanted, leastHeight),
                                     Math.min(wanted, Math.max(walkie.listRoom / 2, walkie.listRoom - peerList.wanted)))
                    contentWidth: width
                    contentHeight: recentColumn.implicitHeight
                    clip: true
                    interactive: isScrolling
                    boundsBehavior: Flickable.StopAtBounds
                    flickableDirection: Flickable.VerticalFlick
                    ScrollBar.vertical: ScrollBar {
                        objectName: "recentScrollBar"
                        policy: recentList.isScrolling ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff
                    }
                    // Tab onto a Play button keeps its row in view.
                    function ensureVisible(row) {
                        if (row.y < contentY)
                            contentY = row.y
                        else if (row.y + row.height > contentY + height)
                            contentY = row.y + row.height - height
                    }

                    Column {
                        id: recentColumn
                        width: recentList.width - (recentList.isScrolling ? 12 : 0)
                        spacing: 6
                        Repeater {
                            model: walkie.controller.recentMessages
                            delegate: Item {
                                id: messageRow
                                required property var modelData
                                readonly property int minutes: Math.max(0, Math.floor((walkie.clock - modelData.endedAt) / 60000))
                                readonly property string when: minutes === 0 ? qsTr("just now") : qsTr("%n min ago", "", minutes)
                                readonly property string description:
                                    (modelData.isToUs ? qsTr("%1 to you, %2, %3 s") : qsTr("%1 to everyone, %2, %3 s"))
                                        .arg(modelData.label).arg(when).arg(Math.max(1, Math.round(modelData.seconds)))
                                objectName: "messageRow"
                                width: parent.width
                                height: Math.max(22, messageText.height + 6)
                                Rectangle {
                                    objectName: "unheardMark"
                                    visible: messageRow.modelData.isUnheard
                                    anchors.verticalCenter: parent.verticalCenter
                                    width: 6
                                    height: 6
                                    radius: 3
                                    color: walkie.style.accent
                                }
                                PlainLabel {
                                    id: messageText
                                    x: 12
                                    anchors.verticalCenter: parent.verticalCenter
                                    width: Math.min(implicitWidth, messageRow.width - 70)
                                    // A second line rather than losing when and how long.
                                    wrapMode: Text.Wrap
                                    maximumLineCount: 2
                                    text: messageRow.description
                                    color: walkie.style.label
                                    font.pixelSize: walkie.style.caption
                                    font.bold: messageRow.modelData.isUnheard
                                    Accessible.name: messageRow.modelData.isUnheard ? qsTr("Unheard: %1").arg(text) : text
                                }
                                PillButton {
                                    objectName: "playButton"
                                    anchors.right: parent.right
                                    anchors.verticalCenter: parent.verticalCenter
                                    style: walkie.style
                                    text: qsTr("Play")
                                    Accessible.name: qsTr("Play: %1").arg(messageRow.description)
                                    onClicked: walkie.controller.playMessage(messageRow.modelData.id)
                                    onActiveFocusChanged: if (activeFocus) recentList.ensureVisible(messageRow)
                                }
                            }
                        }
                    }
                }
            }
        }
    }

    // Now, for "2 min ago": moves on each minute while the panel is shown.
    property double clock: Date.now()
    Timer {
        interval: 30000
        repeat: true
        running: walkie.onScreen && walkie.controller.recentMessages.length > 0
        onTriggered: walkie.clock = Date.now()
    }
}
