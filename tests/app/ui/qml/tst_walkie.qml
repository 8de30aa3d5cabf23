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
    Component { id: hotkeyComponent; FakeHotkey {} }
    Component { id: appearanceComponent; QtObject { property bool isDark: false } }

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
             "network error: multicast setup: no route", "orange"],
            [() => controller.setTalkingPeer("Alice"), "\u2068Alice\u2069 is talking\u2026", "green"],
            [() => controller.setTransmitting(true), "You're talking\u2026", "red"],
            [() => { controller.setTransmitting(false); controller.clearTalkingPeer() },
             "network error: multicast setup: no route", "orange"],
            [() => controller.setTalkingPeers(["Ada", "Bob", "Cy", "Di"]), "\u2068Ada\u2069 and 3 others are talking\u2026", "green"],
            [() => { controller.clearTalkingPeer(); controller.setConnectionState("ready"); controller.setInboundBlocked(true) },
             "Incoming audio is blocked on this computer", "orange"],
            [() => controller.setInboundBlocked(false), "Ready", "secondary"],
        ]
        for (const [change, text, colour] of steps) {
            change()
            compare(child("statusLine").text, text)
            verify(Qt.colorEqual(walkie.statusColor, walkie.style[colour]), text)
        }
    }

    // (The heading's count and the rows: app_lab.sh, on the real program.)
    // A network's name comes from the air: it must not turn the heading's own words around.
    function test_hostileNetworkName() {
        network.setSsid("\u202Eevil\u0007")
        compare(child("peerHeading").text, "On \u2068evil\u2407\u2069 network (0)")
    }

    // A private channel's name and lock in the heading, none for Everyone;
    // another passphrase nearby is one sentence, not one per packet.
    function test_privateChannel() {
        compare(child("channelHeading").visible, false)
        controller.setChannel("Office", "maple orbit velvet canyon")
        compare(child("channelHeading").visible, true)
        compare(child("channelName").text, "Office")
        compare(child("wrongPassphrase").visible, false)
        controller.setWrongPassphrase(true)
        compare(child("wrongPassphrase").text, "Someone nearby is using this channel with a different passphrase")
        verify(child("wrongPassphrase").visible)
    }

    function test_banner_data() {
        return [
            { tag: "both denied", mic: "denied", net: "denied", banner: "Microphone & Local Network access needed \u2014 tap to fix",
              caption: "Mic access refused" },
            { tag: "network denied", mic: "granted", net: "denied", banner: "Local Network access needed \u2014 tap to fix",
              caption: "Network refused" },
            // Nothing to grant: the button says what is missing, and no banner asks for access.
            { tag: "no microphone", mic: "noDevice", net: "granted", banner: null, caption: "No microphone" },
            { tag: "all granted", mic: "granted", net: "granted", banner: null, caption: "" },
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
        const granted = data.caption === ""
        compare(child("talkLabel").text, granted ? "HOLD TO TALK" : data.caption.toUpperCase())
        compare(talkButton().Accessible.name, granted ? "Hold to talk" : "Hold to talk \u2014 " + data.caption.toLowerCase())
    }

    // Each hold: pressed at `at`, dragged far outside the circle, then `change`
    // sets the permissions and the pointer moves back in; released outside.
    function test_hold_data() {
        return [
            { tag: "refused without permissions", perms: ["granted", "unknown"], begins: 0 },
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
        compare(child("talkLabel").text, data.begins && !data.hide ? "ON AIR" : data.perms && !data.change ? "CONNECTING\u2026" : "HOLD TO TALK")
        mouseRelease(button, 220, -20)
        compare(controller.count("endTalking"), data.begins)
        verify(!walkie.isPressed)
    }

    // The panel from the keyboard: the talk button has the focus when it
    // opens; Space held is one hold whatever repeats; Escape asks to close.
    function test_keyboard() {
        walkie.onScreen = true
        verify(talkButton().activeFocus)
        keyPress(Qt.Key_Space)
        keyPress(Qt.Key_Space) // held: a second press without a release is no new hold
        compare(controller.count("beginTalking"), 1)
        // X's repeats: release and press at once; only a release that stays counts.
        keyRelease(Qt.Key_Space)
        keyPress(Qt.Key_Space)
        keyRelease(Qt.Key_Space)
        tryCompare(controller, "isTransmitting", false)
        keyRelease(Qt.Key_Space)
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

    // (A peer not heard and the hint under the list: app_lab.sh, on the real program.)

    // Every visible text and text field under `root` but names from the network (elided by design).
    function visibleTexts(root) {
        return Array.from(root.children).filter(c => c.visible).reduce((found, c) => found.concat(
            (c.truncated !== undefined || c.selectedTextColor !== undefined) && c.text !== "" && c.objectName !== "peerName"
            ? [c] : [], visibleTexts(c)), [])
    }
    function over(top, alpha, under) {
        return Qt.rgba(top.r * alpha + under.r * (1 - alpha), top.g * alpha + under.g * (1 - alpha), top.b * alpha + under.b * (1 - alpha), 1)
    }
    function opacityOf(item) { return item ? item.opacity * opacityOf(item.parent) : 1 }
    // The colour behind the middle of `text`: every rectangle painted before it, in order.
    function backdropOf(text) {
        const mid = text.mapToItem(walkie, text.width / 2, text.height / 2)
        let colour = walkie.color, done = false
        function paint(item) {
            if ((done = done || item === text) || !item.visible)
                return
            if (item !== walkie && item.border !== undefined && item.contains(item.mapFromItem(walkie, mid.x, mid.y)))
                colour = over(item.color, item.color.a * opacityOf(item), colour)
            Array.from(item.children).forEach(paint)
        }
        paint(walkie)
        return text.background ? over(text.background.color, text.background.color.a, colour) : colour
    }
    function contrast(a, b) {
        const lum = c => [c.r, c.g, c.b].map(v => v <= 0.04045 ? v / 12.92 : Math.pow((v + 0.055) / 1.055, 2.4))
                                       .reduce((sum, v, i) => sum + v * [0.2126, 0.7152, 0.0722][i], 0)
        return (Math.max(lum(a), lum(b)) + 0.05) / (Math.min(lum(a), lum(b)) + 0.05)
    }

    // Light and dark, at the panel's own width, in the states with the longest
    // sentences and every colour: each visible text is whole (not elided, not
    // past the edge) and reaches WCAG AA (4.5:1) on what is behind it.
    function test_readable_data() { return [{ tag: "light", isDark: false }, { tag: "dark", isDark: true }] }
    function test_readable(data) {
        walkie.appearance = createTemporaryObject(appearanceComponent, testCase, { isDark: data.isDark })
        const hotkey = walkie.hotkey = createTemporaryObject(hotkeyComponent, testCase)
        controller.displayName = "Desk"
        walkie.onScreen = true
        controller.setPeers([{ name: "Attic", reach: "notResponding" }, { name: "Bob", reach: "notHeard" }])
        const states = [
            ["talking", () => controller.setTalkingPeer("Bob")],
            ["to us", () => { controller.setTalkingToUs("Bob"); controller.setReplyName("Bob"); controller.setRecentMessages([
                { id: 1, name: "Bob", isToUs: true, endedAt: Date.now() - 5000, seconds: 2.4, isUnheard: true },
                { id: 2, name: "Ada's laptop", isToUs: false, endedAt: Date.now() - 130000, seconds: 6.1 }]) }],
            ["on air", () => { controller.clearTalkingPeer(); mousePress(talkButton()) }],
            ["no permissions", () => { mouseRelease(talkButton()); permissions.setStatuses("notDetermined", "denied") }],
            ["blocked", () => { controller.setConnectionState("ready"); controller.setInboundBlocked(true) }],
            ["audio", () => controller.setConnectionState("audioError", "no sound server is running")],
            ["network", () => controller.setConnectionState("networkError", "multicast setup: no route to host")],
            ["settings", () => { permissions.setStatuses("unavailable", "denied"); walkie.showSettings = true }],
            ["key", () => hotkey.setKey("ctrl+shift+F12")],
            ["capturing", () => mouseClick(child("keyField"))],
            ["key taken", () => { hotkey.setTakenKeys(["ctrl+alt+Prior"]); keyClick(Qt.Key_PageUp, Qt.ControlModifier | Qt.AltModifier) }],
        ]
        for (const [what, change] of states) {
            change()
            wait(300) // colour animations
            for (const t of visibleTexts(walkie)) {
                const x = t.mapToItem(walkie, 0, 0).x, back = backdropOf(t)
                const ratio = contrast(over(t.color, t.color.a * opacityOf(t), back), back)
                verify(!t.truncated && x >= 0 && x + Math.min(t.width, t.contentWidth) <= walkie.width && ratio >= 4.5,
                       `${what}: "${t.text}" ${t.color} on ${back}: ${ratio.toFixed(2)}`)
            }
        }
        keyClick(Qt.Key_Escape)
        compare(child("keyStatus").text, "Hold Ctrl+Shift+F12 anywhere to talk, even with the panel closed.")
        walkie.showSettings = false
        // A peer gone quiet says so in words, not only in grey.
        compare(allChildren(walkie, "peerState").filter(s => s.visible).map(s => s.text), ["not responding"])
    }

    // A peer's own talk button talks to it alone while held; one that cannot
    // be heard is refused with the reason and has nothing to release; a talker
    // talking to us alone says so.
    function test_directTalk() {
        walkie.onScreen = true
        controller.setPeers([{ name: "Attic", reach: "notHeard" }, { name: "Bob", reach: "heard" }])
        const buttons = allChildren(walkie, "peerTalkButton")
        waitForRendering(walkie)  // the rows laid out
        mousePress(buttons[1])
        verify(controller.isTransmitting)
        mouseRelease(buttons[1])
        mousePress(buttons[0])
        mouseRelease(buttons[0])
        compare([controller.count("beginTalkingTo Bob"), controller.count("beginTalkingTo Attic"), controller.count("endTalking")],
                [1, 1, 1])
        compare(child("statusLine").text, "Attic can't be reached from here")
        walkie.directProblem = ""
        controller.setTalkingToUs("Bob")
        compare(child("statusLine").text, "\u2068Bob\u2069 is talking to you\u2026")

        // Reply, held, while there is someone to answer.
        const reply = child("replyButton")
        verify(!reply.visible)
        controller.setReplyName("Bob")
        mousePress(reply)
        verify(controller.isTransmitting)
        mouseRelease(reply)
        compare([controller.count("beginReply"), controller.count("endTalking")], [1, 2])
        // The reply key held with nobody to answer: the shell posts why.
        messages.post("walkieReplyRefused:nobodyToReply")
        compare(child("statusLine").text, "Nobody has talked to you in the last minute")
    }

    // Short of room (a host near the screen's bottom, a message coming while
    // open), the panel keeps within it and both lists stay in it, scrolling.
    function test_shortOfRoom() {
        failOnWarning(/Binding loop/)
        controller.setPeers(Array.from({ length: 12 }, (_, i) => ({ name: "Peer " + i, reach: "heard" })))
        walkie.maximumHeight = 520
        const now = Date.now()
        controller.setRecentMessages(Array.from({ length: 4 }, (_, i) =>
            ({ id: i, name: "Bob", isToUs: false, endedAt: now, seconds: 2, isUnheard: false })))
        waitForRendering(walkie)
        const peers = child("peerList"), recent = child("recentList")
        verify(walkie.minimumHeight <= 520 && walkie.height <= 520, walkie.height)
        verify(peers.height >= 2 * peers.rowHeight && peers.contentHeight > peers.height)
        verify(recent.height >= recent.leastHeight && recent.contentHeight > recent.height)
        const bottom = recent.mapToItem(walkie, 0, recent.height).y
        verify(bottom <= walkie.height - 16, "Recent ends at %1 of %2".arg(bottom).arg(walkie.height))
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
        controller.setConnectionState("ready")
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

        // No control left in a label to turn the text around, and each one bounded.
        for (const l of walkie.controller.peers.map(p => p.label))
            verify(!/[\u202A-\u202E\u2066-\u2067\u0000-\u001F]/.test(l) && l.length <= 84, JSON.stringify(l))
        // Each name is plain text inside its own row: markup is shown, not run.
        for (const n of allChildren(walkie, "peerName").concat([status])) {
            compare(n.textFormat, Text.PlainText)
            compare(n.lineCount, 1)
        }
        allChildren(walkie, "peerName").forEach(n => verify(n.clip))
    }

    function test_screenshots() {
        if (!screenshotDir)
            skip("HH_SCREENSHOT_DIR not set")
        walkie.onScreen = true
        network.setSsid("Studio")
        controller.setConnectionState("ready")
        controller.setPeerNames(["Ada's laptop", "Kitchen"])
        const appearance = createTemporaryObject(appearanceComponent, testCase)
        walkie.appearance = appearance
        walkie.hotkey = createTemporaryObject(hotkeyComponent, testCase)
        walkie.hotkey.setKey("ctrl+shift+F12")
        controller.displayName = "Studio desk"
        const shots = {
            "idle": () => {},
            "talking": () => controller.setTalkingPeer("Kitchen"),
            "dark": () => { appearance.isDark = true },
            "permissions": () => { appearance.isDark = false; controller.clearTalkingPeer(); permissions.setStatuses("notDetermined", "denied") },
            "recent": () => {
                permissions.setStatuses("granted", "granted")
                const now = Date.now()
                controller.setRecentMessages([
                    { id: 3, name: "Kitchen", isToUs: true, endedAt: now - 5000, seconds: 2.4, isUnheard: true },
                    { id: 2, name: "Ada's laptop", isToUs: false, endedAt: now - 130000, seconds: 6.1, isUnheard: false },
                ])
                controller.setReplyName("Kitchen")
                controller.setTalkingToUs("Kitchen")
            },
            "settings": () => { controller.clearTalkingPeer(); walkie.showSettings = true },
            "window": () => { walkie.showSettings = false; permissions.setStatuses("granted", "granted"); walkie.hasMenu = true },
            "private": () => { walkie.hasMenu = false; controller.setChannel("Office", "maple orbit"); controller.setWrongPassphrase(true) },
        }
        for (const name in shots) {
            shots[name]()
            wait(500)
            grabImage(walkie).save(screenshotDir + "/panel-" + name + ".png") // throws when it cannot
        }
    }
}
