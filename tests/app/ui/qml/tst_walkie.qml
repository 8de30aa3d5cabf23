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

    Component { id: fakes; QtObject {
        property var controller: FakeController {}; property var network: FakeNetworkName {}
        property var permissions: FakePermissions {}; property var messages: MessageCenter {}
    } }
    Component { id: walkieComponent; WalkieView {} }

    property var controller
    property var network
    property var permissions
    property var messages
    property var walkie

    function init() {
        const f = createTemporaryObject(fakes, testCase)
        controller = f.controller; network = f.network; permissions = f.permissions; messages = f.messages
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

    function child(name) { return findChild(walkie, name) }
    function allChildren(root, name) {
        let found = []
        for (let i = 0; i < root.children.length; ++i) {
            const c = root.children[i]
            found = found.concat(c.objectName === name ? [c] : [], allChildren(c, name))
        }
        return found
    }
    function talkButton() { return child("talkButton") }
    function statusIs(text, colour) {
        compare(child("statusLine").text, text)
        verify(Qt.colorEqual(walkie.statusColor, walkie.style[colour]), colour)
    }

    function test_statusLine() {
        statusIs("starting\u2026", "secondary")
        controller.setConnectionState("network error: multicast setup: no route")
        statusIs("network error: multicast setup: no route", "secondary")
        controller.setTalkingPeer("Alice")
        statusIs("Alice is talking\u2026", "green")
        controller.setTransmitting(true)
        statusIs("You're talking\u2026", "red")
        controller.setTransmitting(false)
        controller.clearTalkingPeer()
        statusIs("network error: multicast setup: no route", "secondary")
        // A talker who announced an empty name is still someone talking.
        controller.setTalkingPeer("")
        statusIs(" is talking\u2026", "green")
        // Several at once: one sentence, the first to begin named.
        for (const [names, text] of [[["Ada", "Bob"], "Ada and Bob are talking\u2026"],
                                     [["Ada", "Bob", "Cy"], "Ada and 2 others are talking\u2026"],
                                     [["Ada", "Bob", "Cy", "Di"], "Ada and 3 others are talking\u2026"]]) {
            controller.setTalkingPeers(names)
            statusIs(text, "green")
            compare(controller.talkingPeerName, names[names.length - 1])
        }
        controller.clearTalkingPeer()
    }

    function test_peers_data() {
        return [
            { tag: "no name, nobody", ssid: null, peers: [], heading: "On this network (0)" },
            { tag: "name, one talks", ssid: "Lab WiFi", peers: ["Bob", "Carol"], talker: "Carol", heading: "On Lab WiFi network (2)" },
            { tag: "empty name, talker in no row", ssid: "", peers: ["Bob"], talker: "Zed", heading: "On  network (1)" },
            { tag: "two talk", ssid: "Lab WiFi", peers: ["Bob", "Carol", "Dan"], talkers: ["Dan", "Bob"], heading: "On Lab WiFi network (3)" },
        ]
    }
    function test_peers(data) {
        if (data.ssid === null)
            network.clearSsid()
        else
            network.setSsid(data.ssid)
        controller.setPeerNames(data.peers)
        const talkers = data.talkers || (data.talker ? [data.talker] : [])
        controller.setTalkingPeers(talkers)
        compare(child("peerHeading").text, data.heading)
        compare(child("noPeers").visible, data.peers.length === 0)
        compare(allChildren(walkie, "peerName").map(n => n.text), data.peers)
        const dots = allChildren(walkie, "peerDot")
        compare(dots.length, data.peers.length)
        dots.forEach((d, i) => verify(Qt.colorEqual(d.color, walkie.style[talkers.includes(data.peers[i]) ? "green" : "secondary"])))
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
        wait(500)
        fuzzyCompare(talkButton().opacity, granted ? 1.0 : 0.4, 0.001)
    }

    // Each hold: pressed at `at`, dragged far outside the circle, then `change`
    // sets the permissions and the pointer moves back in; released outside.
    function test_hold_data() {
        return [
            { tag: "granted", begins: 1 },
            { tag: "refused without permissions", perms: ["granted", "unknown"], begins: 0 },
            { tag: "outside the circle", at: [4, 4], begins: 0 },
            { tag: "granted during the hold", perms: ["granted", "unknown"], change: ["granted", "granted"], begins: 1 },
            { tag: "withdrawn during the hold", change: ["denied", "granted"], begins: 1 },
            { tag: "hidden during the hold", hide: true, begins: 1 },
        ]
    }
    function test_hold(data) {
        const perms = data.perms || ["granted", "granted"], at = data.at || [80, 80]
        permissions.setStatuses(perms[0], perms[1])
        walkie.onScreen = true
        const button = talkButton()
        mousePress(button, at[0], at[1])
        for (let i = 1; i < 20; ++i)
            mouseMove(button, at[0] + i * 7, at[1] - i * 5)
        if (data.change) {
            permissions.setStatuses(data.change[0], data.change[1])
            mouseMove(button, at[0] + 2, at[1] + 2)
        }
        if (data.hide) {
            walkie.onScreen = false
            compare(controller.count("endTalking"), 1)
        }
        compare(controller.count("beginTalking"), data.begins)
        compare(child("talkLabel").text, data.begins && !data.hide ? "ON AIR" : data.perms && !data.change ? "PERMISSIONS NEEDED" : "HOLD TO TALK")
        mouseRelease(button, 220, -20)
        compare(controller.count("endTalking"), data.begins)
        verify(!walkie.isPressed)
        // Whatever happened, the next hold is one more spurt.
        permissions.setStatuses("granted", "granted")
        walkie.onScreen = true
        mousePress(button, 80, 80)
        mouseRelease(button, 80, 80)
        compare(controller.count("beginTalking"), data.begins + 1)
        compare(controller.count("endTalking"), data.begins + 1)
        compare(child("talkLabel").text, "HOLD TO TALK")
        compare(controller.count("start"), data.hide ? 2 : 1) // each time it is shown
    }

    function test_settingsAndMute() {
        const settingsButton = child("settingsButton")
        mouseClick(settingsButton)
        verify(walkie.showSettings)
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
        mouseClick(settingsButton)
        // The banner opens them too.
        permissions.setStatuses("denied", "granted")
        mouseClick(child("permissionBanner"))
        verify(walkie.showSettings)
        verify(!child("mainContent").visible)
        mouseClick(settingsButton)

        const mute = child("muteButton")
        mouseClick(mute)
        verify(controller.isMuted)
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
        const shots = {
            "idle": () => {},
            "talking": () => controller.setTalkingPeer("Kitchen"),
            "permissions": () => { controller.clearTalkingPeer(); permissions.setStatuses("notDetermined", "denied") },
            "settings": () => { walkie.showSettings = true },
        }
        for (const name in shots) {
            shots[name]()
            wait(500)
            grabImage(walkie).save(screenshotDir + "/panel-" + name + ".png") // throws when it cannot
        }
    }
}
