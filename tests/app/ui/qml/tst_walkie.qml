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

    // Each typed state as its sentence and colour, in the order they override each other.
    function test_statusLine() {
        const steps = [
            [() => {}, "starting\u2026", "secondary"],
            [() => controller.setConnectionState("networkError", "multicast setup: no route"),
             "network error: multicast setup: no route", "secondary"],
            [() => controller.setTalkingPeer("Alice"), "\u2068Alice\u2069 is talking\u2026", "green"],
            [() => controller.setTransmitting(true), "You're talking\u2026", "red"],
            [() => { controller.setTransmitting(false); controller.clearTalkingPeer() },
             "network error: multicast setup: no route", "secondary"],
            // A talker who announced an empty name is still someone talking.
            [() => controller.setTalkingPeer(""), "\u2068\u2069 is talking\u2026", "green"],
            [() => controller.setTalkingPeers(["Ada", "Bob"]), "\u2068Ada\u2069 and \u2068Bob\u2069 are talking\u2026", "green"],
            [() => controller.setTalkingPeers(["Ada", "Bob", "Cy", "Di"]), "\u2068Ada\u2069 and 3 others are talking\u2026", "green"],
            [() => { controller.clearTalkingPeer(); controller.setConnectionState("onAir"); controller.setInboundBlocked(true) },
             "Incoming audio is blocked on this computer", "orange"],
            [() => controller.setInboundBlocked(false), "on air", "secondary"],
        ]
        for (const [change, text, colour] of steps) {
            change()
            compare(child("statusLine").text, text)
            verify(Qt.colorEqual(walkie.statusColor, walkie.style[colour]), text)
        }
    }

    function test_peers_data() {
        return [
            { tag: "no name, nobody", ssid: null, peers: [], heading: "On this network (0)" },
            { tag: "name, one talks", ssid: "Lab %1 WiFi", peers: ["Bob", "Carol"], talkers: ["Carol"], heading: "On \u2068Lab %1 WiFi\u2069 network (2)" },
            { tag: "empty name, talker in no row", ssid: "", peers: ["Bob"], talkers: ["Zed"], heading: "On \u2068\u2069 network (1)" },
            { tag: "two talk", ssid: "Lab WiFi", peers: ["Bob", "Carol", "Dan"], talkers: ["Dan", "Bob"], heading: "On \u2068Lab WiFi\u2069 network (3)" },
            // A network's name comes from the air: it must not turn the heading's own words around.
            { tag: "hostile name", ssid: "\u202Eevil\u0007", peers: ["Bob"], heading: "On \u2068evil\u2407\u2069 network (1)" },
        ]
    }
    function test_peers(data) {
        if (data.ssid === null)
            network.clearSsid()
        else
            network.setSsid(data.ssid)
        controller.setPeerNames(data.peers)
        const talkers = data.talkers || []
        controller.setTalkingPeers(talkers)
        compare(child("peerHeading").text, data.heading)
        compare(child("noPeers").visible, data.peers.length === 0)
        compare(allChildren(walkie, "peerName").map(n => n.text), data.peers.map(p => "\u2068" + p + "\u2069"))
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
        compare(controller.count("start"), data.hide ? 2 : 1) // each time it is shown
    }

    // The panel from the keyboard: the talk button has the focus when it
    // opens; Space or Enter held is one hold whatever repeats; Escape asks to close.
    function test_keyboard_data() {
        return [{ tag: "space", key: Qt.Key_Space }, { tag: "enter", key: Qt.Key_Return }]
    }
    function test_keyboard(data) {
        walkie.onScreen = true
        verify(talkButton().activeFocus)
        keyPress(data.key)
        keyPress(data.key) // held: a second press without a release is no new hold
        compare(controller.count("beginTalking"), 1)
        // X's repeats: release and press at once; only a release that stays counts.
        keyRelease(data.key)
        keyPress(data.key)
        keyRelease(data.key)
        tryCompare(controller, "isTransmitting", false)
        keyRelease(data.key)
        wait(150)
        compare(controller.count("beginTalking"), 1)
        compare(controller.count("endTalking"), 1)
        const closes = createTemporaryQmlObject("import QtTest; SignalSpy { signalName: 'closeRequested' }", testCase)
        closes.target = walkie
        keyClick(Qt.Key_Escape)
        compare(closes.count, 1)
    }

    function test_settingsAndMute() {
        const settingsButton = child("settingsButton")
        mouseClick(settingsButton)
        verify(walkie.showSettings)
        verify(!child("mainContent").visible)
        // The message shows the settings; it is not a toggle, and no other message does.
        messages.post("walkieOpenSettings")
        verify(walkie.showSettings)
        mouseClick(settingsButton)
        messages.post("somethingElse")
        verify(!walkie.showSettings)
        permissions.setStatuses("denied", "granted")
        mouseClick(child("permissionBanner"))
        verify(walkie.showSettings, "the banner opens them too")
        mouseClick(settingsButton)

        const mute = child("muteButton")
        mouseClick(mute)
        verify(controller.isMuted)
        compare(mute.Accessible.name, "Unmute")
    }

    function test_reachMarksRowsAndTheHint() {
        controller.setPeers([{ name: "Kitchen", reach: "notHeard" }, { name: "Attic", reach: "notResponding" },
                             { name: "Bob", reach: "heard" }])
        const rows = allChildren(walkie, "peerRow")
        compare(rows.map(r => r.Accessible.name),
                ["Attic \u2014 not responding", "Bob", "Kitchen \u2014 can't be heard from here"])
        verify(rows[0].opacity < 0.5, "a peer not responding is greyed out")
        compare(rows[1].opacity, 1)
        const dots = allChildren(walkie, "peerDot")
        compare(dots.map(d => d.border.width), [0, 0, 2])
        const hint = child("unheardHint")
        verify(hint.visible)
        compare(hint.text, "Some computers are listed but can't be heard: a firewall or the network may be blocking UDP port 54321 multicast")
        controller.setPeers([{ name: "Kitchen", reach: "heard" }, { name: "Attic", reach: "notResponding" }])
        verify(!hint.visible, "no hint for peers that are only gone")
    }

    // The pixels of `item` in walkie's coordinates, as one string to compare.
    function pixelsOf(image, item) {
        const p = item.mapToItem(walkie, 0, 0)
        let out = []
        for (let y = Math.max(0, Math.floor(p.y) - 4); y < Math.ceil(p.y + item.height) + 4; ++y)
            for (let x = 0; x < walkie.width; x += 1)
                out.push(image.pixel(x, y))
        return out.join(",")
    }

    function test_hostileNamesCannotDisguiseThemselves() {
        walkie.onScreen = true
        controller.setConnectionState("onAir")
        controller.setPeerNames(["Plain 1", "Plain 2", "Plain 3", "Plain 4", "Plain 5"])  // the same count in the header
        controller.setTalkingPeer("evil.exe")
        wait(300)
        const before = grabImage(walkie)
        const title = child("title"), heading = child("peerHeading"), status = child("statusLine")
        const titlePixels = pixelsOf(before, title), headingPixels = pixelsOf(before, heading)
        const statusPixels = pixelsOf(before, status)

        const marks = "a" + "\u0301".repeat(500)
        const hostile = ["\u202Eboss is talking", marks, "bell\u0007\ttab\u2028next", "x".repeat(2000),
                         "<img src=\"file:///etc/passwd\">"]
        controller.setPeers(hostile.map(n => ({ name: n, reach: "heard" })))
        // Closed or not, a direction override cannot turn the panel's words around.
        controller.setTalkingPeer("\u202Eevil.exe\u202C")
        wait(300)
        const after = grabImage(walkie)
        compare(pixelsOf(after, title), titlePixels, "nothing draws over the title")
        compare(pixelsOf(after, heading), headingPixels, "nor over the list's header")
        compare(pixelsOf(after, status), statusPixels, "the status line reads as with the plain name")

        const labels = walkie.controller.peers.map(p => p.label)
        labels.forEach(l => verify(!/[\u202A-\u202E\u2066-\u2067\u0000-\u001F]/.test(l), JSON.stringify(l)))
        labels.forEach(l => verify(l.length <= 84, "bounded: " + l.length))
        verify(labels.some(l => l.indexOf("\u2407") >= 0), "a control character is shown as its symbol")
        verify(labels.some(l => l === "\u2068a\u0301\u0301\u0301\u2069"), "a few marks per character at most")
        // Each name is plain text inside its own row: markup is shown, not run.
        for (const n of allChildren(walkie, "peerName").concat([status])) {
            compare(n.textFormat, Text.PlainText)
            compare(n.lineCount, 1)
        }
        allChildren(walkie, "peerName").forEach(n => verify(n.clip))
    }

    // (The order, accents and case in one alphabet, and the panel on a real
    // screen: app_lab.sh, over AT-SPI.)
    function test_fortyPeersScroll() {
        let names = []
        for (let i = 0; i < 40; ++i)
            names.push("Desk " + i)
        controller.setPeerNames(names)
        const rows = allChildren(walkie, "peerRow")
        compare(rows.length, 40)
        const list = child("peerList")
        waitForRendering(walkie)  // the rows are laid out at the next polish
        verify(list.height < list.contentHeight, "past eight rows the list scrolls")
        verify(list.height <= 9 * list.rowHeight)
        for (let i = 0; i < 40; ++i)
            mouseWheel(list, list.width / 2, list.height / 2, 0, -120)
        tryVerify(() => Math.abs(list.contentY - (list.contentHeight - list.height)) < 1, 3000, "the wheel reaches the last row")
        // The keys reach it too, keeping the focused row in view.
        list.contentY = 0
        rows[0].forceActiveFocus()
        for (let i = 0; i < 39; ++i)
            keyClick(Qt.Key_Down)
        verify(rows[39].activeFocus)
        verify(rows[39].y >= list.contentY && rows[39].y + rows[39].height <= list.contentY + list.height + 0.5)
    }

    function test_screenshots() {
        if (!screenshotDir)
            skip("HH_SCREENSHOT_DIR not set")
        walkie.onScreen = true
        network.setSsid("Studio")
        controller.setConnectionState("onAir")
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
