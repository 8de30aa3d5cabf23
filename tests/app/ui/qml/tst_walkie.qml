import QtQuick
import QtTest
import Hollerhopper.Fakes
import "../../../../app/qml"

TestCase {
    id: testCase
    name: "WalkieView"
    width: 320
    height: 720
    visible: true
    when: windowShown

    Component { id: controllerComponent; FakeController {} }
    Component { id: networkComponent; FakeNetworkName {} }
    Component { id: permissionsComponent; FakePermissions {} }
    Component { id: messagesComponent; MessageCenter {} }
    Component { id: walkieComponent; WalkieView {} }

    property var controller
    property var network
    property var permissions
    property var messages
    property var walkie

    function init() {
        controller = createTemporaryObject(controllerComponent, testCase)
        network = createTemporaryObject(networkComponent, testCase)
        permissions = createTemporaryObject(permissionsComponent, testCase)
        messages = createTemporaryObject(messagesComponent, testCase)
        permissions.setStatuses("granted", "granted")
        walkie = walkieComponent.createObject(testCase, {
            controller: controller, networkInfo: network, permissions: permissions, messages: messages
        })
        verify(walkie)
    }

    // The panel goes first, before the objects it watches.
    function cleanup() {
        walkie.destroy()
        wait(0)
    }

    function child(name, root) { return findChild(root || walkie, name) }
    function allChildren(root, name) {
        let found = []
        for (let i = 0; i < root.children.length; ++i) {
            const c = root.children[i]
            if (c.objectName === name)
                found.push(c)
            found = found.concat(allChildren(c, name))
        }
        return found
    }
    function talkButton() { return child("talkButton") }
    function settle() { wait(500) }

    function test_statusLine() {
        const status = child("statusLine")
        compare(status.text, "starting\u2026")
        verify(Qt.colorEqual(walkie.statusColor, walkie.style.secondary))
        controller.setConnectionState("network error: multicast setup: no route")
        compare(status.text, "network error: multicast setup: no route")

        controller.setTalkingPeer("Alice")
        compare(status.text, "Alice is talking\u2026")
        verify(Qt.colorEqual(walkie.statusColor, walkie.style.green))

        controller.setTransmitting(true)
        compare(status.text, "You're talking\u2026")
        verify(Qt.colorEqual(walkie.statusColor, walkie.style.red))

        controller.setTransmitting(false)
        controller.clearTalkingPeer()
        compare(status.text, "network error: multicast setup: no route")

        // A talker who announced an empty name is still someone talking.
        controller.setTalkingPeer("")
        compare(status.text, " is talking\u2026")
    }

    function test_heading_data() {
        return [
            { tag: "no name, nobody", ssid: null, peers: [], heading: "On this network (0)" },
            { tag: "name, two peers", ssid: "Lab WiFi", peers: ["Bob", "Carol"], heading: "On Lab WiFi network (2)" },
            { tag: "empty name", ssid: "", peers: ["Bob"], heading: "On  network (1)" },
        ]
    }
    function test_heading(data) {
        if (data.ssid === null)
            network.clearSsid()
        else
            network.setSsid(data.ssid)
        controller.setPeerNames(data.peers)
        compare(child("peerHeading").text, data.heading)
        compare(child("noPeers").visible, data.peers.length === 0)
        const names = allChildren(walkie, "peerName").map(n => n.text)
        compare(names, data.peers)
    }

    function test_talkingDot() {
        controller.setPeerNames(["Bob", "Carol"])
        controller.setTalkingPeer("Carol")
        let dots = allChildren(walkie, "peerDot")
        compare(dots.length, 2)
        verify(Qt.colorEqual(dots[0].color, walkie.style.secondary))
        verify(Qt.colorEqual(dots[1].color, walkie.style.green))
        // A talker in no row marks nobody.
        controller.setTalkingPeer("Zed")
        dots = allChildren(walkie, "peerDot")
        verify(dots.every(d => Qt.colorEqual(d.color, walkie.style.secondary)))
    }

    function test_banner_data() {
        return [
            { tag: "both denied", mic: "denied", net: "denied", banner: "Microphone & Local Network access needed \u2014 tap to fix" },
            { tag: "mic not asked", mic: "notDetermined", net: "unknown", banner: "Microphone access needed \u2014 tap to fix" },
            { tag: "network denied", mic: "granted", net: "denied", banner: "Local Network access needed \u2014 tap to fix" },
            { tag: "network undecided", mic: "granted", net: "unknown", banner: null },
            { tag: "all granted", mic: "granted", net: "granted", banner: null },
        ]
    }
    function test_banner(data) {
        permissions.setStatuses(data.mic, data.net)
        const banner = child("permissionBanner")
        compare(banner.visible, data.banner !== null)
        if (data.banner !== null) {
            compare(child("bannerText").text, data.banner)
            compare(banner.Accessible.name, data.banner)
        }
        const granted = data.mic === "granted" && data.net === "granted"
        compare(child("talkLabel").text, granted ? "HOLD TO TALK" : "PERMISSIONS NEEDED")
        compare(talkButton().Accessible.name, granted ? "Hold to talk" : "Hold to talk \u2014 permissions needed")
        settle()
        fuzzyCompare(talkButton().opacity, granted ? 1.0 : 0.4, 0.001)
    }

    function test_bannerOpensSettings() {
        permissions.setStatuses("denied", "granted")
        mouseClick(child("permissionBanner"))
        verify(walkie.showSettings)
        verify(child("settingsView"))
        verify(!child("mainContent").visible)
    }

    function test_holdGivesOneBeginAndOneEnd() {
        const button = talkButton()
        mousePress(button, 80, 80)
        compare(controller.beginCount, 1)
        compare(child("talkLabel").text, "ON AIR")
        for (let i = 0; i < 20; ++i)
            mouseMove(button, 80 + i * 7, 80 - i * 5) // also far outside the circle
        compare(controller.beginCount, 1)
        mouseRelease(button, 220, -20)
        compare(controller.endCount, 1)
        compare(child("talkLabel").text, "HOLD TO TALK")
        verify(!walkie.isPressed)
        // A second hold is a second spurt.
        mousePress(button, 80, 80)
        mouseRelease(button, 80, 80)
        compare(controller.beginCount, 2)
        compare(controller.endCount, 2)
    }

    function test_pressRefusedWithoutPermissions() {
        permissions.setStatuses("granted", "unknown")
        const button = talkButton()
        mousePress(button, 80, 80)
        mouseMove(button, 90, 90)
        mouseRelease(button, 90, 90)
        compare(controller.beginCount, 0)
        compare(controller.endCount, 0)
        compare(child("talkLabel").text, "PERMISSIONS NEEDED")
    }

    function test_grantDuringHoldStartsOnNextMove() {
        permissions.setStatuses("granted", "unknown")
        const button = talkButton()
        mousePress(button, 80, 80)
        compare(controller.beginCount, 0)
        permissions.setStatuses("granted", "granted")
        mouseMove(button, 82, 82)
        compare(controller.beginCount, 1)
        mouseRelease(button, 82, 82)
        compare(controller.endCount, 1)
    }

    function test_withdrawnDuringHoldStillEnds() {
        const button = talkButton()
        mousePress(button, 80, 80)
        permissions.setStatuses("denied", "granted")
        mouseRelease(button, 80, 80)
        compare(controller.beginCount, 1)
        compare(controller.endCount, 1)
    }

    function test_hidingWhileHeldEndsTalking() {
        walkie.onScreen = true
        const button = talkButton()
        mousePress(button, 80, 80)
        walkie.onScreen = false
        compare(controller.endCount, 1)
        mouseRelease(button, 80, 80)
        compare(controller.endCount, 1)
    }

    function test_onlyTheCircleReacts() {
        const button = talkButton()
        mousePress(button, 4, 4) // the square's corner, outside the circle
        mouseRelease(button, 4, 4)
        compare(controller.beginCount, 0)
    }

    function test_pressScalesWithSpring() {
        const button = talkButton()
        mousePress(button, 80, 80)
        settle()
        fuzzyCompare(button.scale, 0.95, 0.001)
        mouseRelease(button, 80, 80)
        settle()
        fuzzyCompare(button.scale, 1.0, 0.001)
    }

    function test_startEachTimeShown() {
        walkie.onScreen = true
        walkie.onScreen = false
        walkie.onScreen = true
        compare(controller.startCount, 2)
    }

    function test_settingsToggleAndMessage() {
        const settingsButton = child("settingsButton")
        compare(settingsButton.symbol, "gearshape")
        mouseClick(settingsButton)
        verify(walkie.showSettings)
        compare(settingsButton.symbol, "chevron.left")
        compare(child("settingsHeading").text, "Settings")
        // The message shows the settings; it is not a toggle.
        messages.post("walkieOpenSettings")
        verify(walkie.showSettings)
        mouseClick(settingsButton)
        verify(!walkie.showSettings)
        verify(child("mainContent").visible)
        messages.post("somethingElse")
        verify(!walkie.showSettings)
        messages.post("walkieOpenSettings")
        verify(walkie.showSettings)
    }

    function test_muteButton() {
        const mute = child("muteButton")
        compare(mute.symbol, "speaker.wave.2.fill")
        mouseClick(mute)
        verify(controller.isMuted)
        compare(mute.symbol, "speaker.slash.fill")
        verify(Qt.colorEqual(mute.tint, walkie.style.red))
        compare(mute.Accessible.name, "Unmute")
        mouseClick(mute)
        verify(!controller.isMuted)
    }

    function test_untrustedNamesArePlainAndElided() {
        const longName = "W".repeat(300)
        controller.setPeerNames(["<b>x</b>", "<img src=\"file:///etc/passwd\">", longName])
        controller.setTalkingPeer("<i>Eve</i>\nsecond line")
        network.setSsid("<u>net</u>")
        const names = allChildren(walkie, "peerName")
        compare(names[0].text, "<b>x</b>")
        compare(names[0].textFormat, Text.PlainText)
        compare(names[1].text, "<img src=\"file:///etc/passwd\">")
        verify(names[2].truncated)
        verify(names[2].width <= walkie.width - 32)
        const status = child("statusLine")
        compare(status.textFormat, Text.PlainText)
        compare(status.lineCount, 1)
        verify(status.width <= walkie.width - 32)
        compare(child("peerHeading").text, "On <u>net</u> network (3)")
        compare(walkie.width, 280)
    }

    function test_screenshots() {
        if (!screenshotDir)
            skip("HH_SCREENSHOT_DIR not set")
        walkie.onScreen = true
        network.setSsid("Studio")
        controller.setConnectionState("on air")
        controller.setPeerNames(["Ada's laptop", "Kitchen"])
        settle()
        grabImage(walkie).save(screenshotDir + "/panel-idle.png") // throws when it cannot
        controller.setTalkingPeer("Kitchen")
        settle()
        grabImage(walkie).save(screenshotDir + "/panel-talking.png")
        controller.clearTalkingPeer()
        permissions.setStatuses("notDetermined", "denied")
        settle()
        grabImage(walkie).save(screenshotDir + "/panel-permissions.png") // throws when it cannot
        walkie.showSettings = true
        settle()
        grabImage(walkie).save(screenshotDir + "/panel-settings.png") // throws when it cannot
    }
}
