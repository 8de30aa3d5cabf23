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

    // (The heading's count and the rows: app_lab.sh, on the real program.)
    // A network's name comes from the air: it must not turn the heading's own words around.
    function test_hostileNetworkName() {
        network.setSsid("\u202Eevil\u0007")
        compare(child("peerHeading").text, "On \u2068evil\u2407\u2069 network (0)")
    }

    function test_banner_data() {
        return [
            { tag: "both denied", mic: "denied", net: "denied", banner: "Microphone & Local Network access needed \u2014 tap to fix" },
            { tag: "network denied", mic: "granted", net: "denied", banner: "Local Network access needed \u2014 tap to fix" },
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
        compare(child("talkLabel").text, data.begins && !data.hide ? "ON AIR" : data.perms && !data.change ? "PERMISSIONS NEEDED" : "HOLD TO TALK")
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
    // A peer gone quiet says so in visible words beside its name, not only in grey.
    function test_notRespondingInWords() {
        controller.setPeers([{ name: "Attic with a rather long name", reach: "notResponding" }, { name: "Bob", reach: "heard" }])
        wait(50)
        const rows = allChildren(walkie, "peerRow")
        compare(rows[0].Accessible.name, "Attic with a rather long name \u2014 not responding")
        const state = allChildren(rows[0], "peerState")[0]
        verify(state.visible && state.text === "not responding")
        verify(state.mapToItem(rows[0], 0, 0).x + state.width <= rows[0].width, "inside its row")
        verify(!allChildren(rows[1], "peerState")[0].visible)
        verify(!Qt.colorEqual(allChildren(rows[0], "peerName")[0].color, allChildren(rows[1], "peerName")[0].color),
               "and greyed")
    }

    // Every visible text under `root` (names from the network aside: they are
    // elided by design); with `fields`, the text fields too.
    function visibleTexts(root, fields) {
        let found = []
        for (let i = 0; i < root.children.length; ++i) {
            const c = root.children[i]
            if (!c.visible)
                continue
            const isText = c.truncated !== undefined || (fields && c.selectedTextColor !== undefined)
            if (isText && c.text !== "" && c.objectName !== "peerName")
                found.push(c)
            found = found.concat(visibleTexts(c, fields))
        }
        return found
    }
    function checkNothingCut(what) {
        for (const t of visibleTexts(walkie)) {
            const x = t.mapToItem(walkie, 0, 0).x
            verify(!t.truncated && x >= 0 && x + Math.min(t.width, t.contentWidth) <= walkie.width,
                   what + ": \"" + t.text + "\" is cut")
        }
    }

    // At the panel's own width no sentence a user must read is elided or runs
    // past the edge, in the states with the longest words.
    function test_nothingCutAtDefaultWidth() {
        const hotkey = createTemporaryObject(hotkeyComponent, testCase)
        walkie.hotkey = hotkey
        walkie.onScreen = true
        const states = [
            ["blocked", () => { controller.setConnectionState("onAir"); controller.setInboundBlocked(true) }],
            ["audio", () => { controller.setInboundBlocked(false); controller.setConnectionState("audioError", "no sound server is running") }],
            ["network", () => controller.setConnectionState("networkError", "multicast setup: no route to host")],
            ["key", () => { permissions.setStatuses("unavailable", "granted"); hotkey.setKey("ctrl+shift+F12"); walkie.showSettings = true }],
            ["capturing", () => mouseClick(child("keyField"))],
        ]
        for (const [what, change] of states) {
            change()
            wait(50)
            checkNothingCut(what)
        }
        compare(child("keyField").text, "Push-to-talk key: press a key\u2026")
        keyClick(Qt.Key_Escape)
        compare(child("keyField").text, "Push-to-talk key: Ctrl+Shift+F12", "keys written as desktops write them")
        compare(child("keyStatus").text, "Hold Ctrl+Shift+F12 anywhere to talk, even with the panel closed.")
    }

    // WCAG's contrast between two opaque colours.
    function contrast(a, b) {
        const lum = c => [c.r, c.g, c.b].map(v => v <= 0.04045 ? v / 12.92 : Math.pow((v + 0.055) / 1.055, 2.4))
                                       .reduce((sum, v, i) => sum + v * [0.2126, 0.7152, 0.0722][i], 0)
        const [hi, lo] = [lum(a), lum(b)].sort((x, y) => y - x)
        return (hi + 0.05) / (lo + 0.05)
    }
    function over(top, alpha, under) {
        return Qt.rgba(top.r * alpha + under.r * (1 - alpha), top.g * alpha + under.g * (1 - alpha),
                       top.b * alpha + under.b * (1 - alpha), 1)
    }
    function opacityOf(item) {
        let o = 1
        for (let i = item; i; i = i.parent) o *= i.opacity
        return o
    }
    // The rectangles under `point` (in walkie's coordinates) in `item` and
    // everything it holds, in the order they are painted, onto `colour`.
    function paintedOver(item, point, colour) {
        if (!item.visible)
            return colour
        const p = item.mapFromItem(walkie, point.x, point.y)
        if (item.border !== undefined && item.radius !== undefined && item.contains(p))
            colour = over(item.color, item.color.a * opacityOf(item), colour)
        for (let k = 0; k < item.children.length; ++k)
            colour = paintedOver(item.children[k], point, colour)
        return colour
    }
    // What is painted behind `text`: the panel, then everything drawn before
    // the branch that holds the text, under its middle.
    function backdropOf(text) {
        let chain = []
        for (let i = text; i && i !== walkie; i = i.parent) chain.unshift(i)
        const mid = text.mapToItem(walkie, text.width / 2, text.height / 2)
        let colour = walkie.color
        let parent = walkie
        for (const next of chain) {
            for (let k = 0; k < parent.children.length && parent.children[k] !== next; ++k)
                colour = paintedOver(parent.children[k], mid, colour)
            parent = next
        }
        return text.background ? paintedOver(text.background, mid, colour) : colour // a text field's own
    }

    // Every visible text in both schemes and the states that change colours
    // reaches WCAG AA (4.5:1) on what is behind it.
    function test_contrast_data() { return [{ tag: "light", isDark: false }, { tag: "dark", isDark: true }] }
    function test_contrast(data) {
        const appearance = createTemporaryObject(appearanceComponent, testCase, { isDark: data.isDark })
        walkie.appearance = appearance
        compare(walkie.style.isDark, data.isDark)
        walkie.hotkey = createTemporaryObject(hotkeyComponent, testCase)
        controller.displayName = "Desk"
        walkie.onScreen = true
        controller.setPeers([{ name: "Attic", reach: "notResponding" }, { name: "Bob", reach: "notHeard" }])
        const states = [
            ["idle", () => controller.setConnectionState("onAir")],
            ["talking", () => controller.setTalkingPeer("Bob")],
            ["on air", () => { controller.clearTalkingPeer(); mousePress(talkButton()) }],
            ["no permissions", () => { mouseRelease(talkButton()); permissions.setStatuses("notDetermined", "denied") }],
            ["errors", () => { controller.setConnectionState("audioError", "no sound server is running"); permissions.setStatuses("unavailable", "denied") }],
            ["blocked", () => { controller.setConnectionState("onAir"); controller.setInboundBlocked(true) }],
            ["settings", () => { walkie.hotkey.setKey("Pause"); walkie.showSettings = true }],
            ["settings, no key", () => walkie.hotkey.setKey("")],
        ]
        let checked = 0
        for (const [what, change] of states) {
            change()
            wait(300) // colour animations
            for (const t of visibleTexts(walkie, true)) {
                const back = backdropOf(t)
                const ratio = contrast(over(t.color, t.color.a * opacityOf(t), back), back)
                verify(ratio >= 4.5, what + ": \"" + t.text + "\" " + t.color + " on " + back + ": " + ratio.toFixed(2))
                ++checked
            }
        }
        verify(checked > 30)
    }

    // Held, the red face has a smooth edge under the software renderer: each
    // pixel across it is as red as the share of it the circle covers.
    function test_smoothEdgeWhileHeld() {
        const button = talkButton(), face = child("talkFace")
        mousePress(button)
        wait(800) // the press spring settles
        const image = grabImage(walkie)
        const centre = face.mapToItem(walkie, face.width / 2, face.height / 2), r = face.width / 2
        const inside = walkie.style.buttonOnAir, outside = walkie.color
        let worst = 0
        for (let y = Math.floor(centre.y - r) - 1; y < centre.y - r * 0.7; ++y) {
            for (let x = Math.floor(centre.x - r) - 1; x < centre.x; ++x) {
                const d = Math.hypot(x + 0.5 - centre.x, y + 0.5 - centre.y)
                if (d < r - 1.5 || d > r) // beyond, the shadow darkens it
                    continue
                const covered = Math.max(0, Math.min(1, r - d + 0.5))
                const measured = (image.green(x, y) / 255 - outside.g) / (inside.g - outside.g)
                worst = Math.max(worst, Math.abs(measured - covered))
            }
        }
        mouseRelease(button)
        verify(worst < 0.3, "a pixel on the edge is off its coverage by " + worst.toFixed(2))
    }

    // Someone starting to talk, or we, changes the status line's words, and nothing below moves.
    function test_noLayoutJump() {
        walkie.onScreen = true
        controller.setConnectionState("onAir")
        controller.setPeerNames(["Ada's laptop", "Kitchen \u0645\u0637\u0628\u062e"])
        wait(50)
        const place = () => [talkButton().mapToItem(walkie, 0, 0).y, child("peerSection").mapToItem(walkie, 0, 0).y, walkie.height]
        const before = place()
        for (const change of [() => controller.setTalkingPeer("Kitchen \u0645\u0637\u0628\u062e"), () => controller.setTalkingPeers(["Ada's laptop", "Kitchen \u0645\u0637\u0628\u062e"]),
                              () => controller.setTransmitting(true), () => { controller.setTransmitting(false); controller.clearTalkingPeer() }]) {
            change()
            wait(50)
                compare(place(), before)
        }
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
        controller.setConnectionState("onAir")
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
            "settings": () => { walkie.showSettings = true },
        }
        for (const name in shots) {
            shots[name]()
            wait(500)
            grabImage(walkie).save(screenshotDir + "/panel-" + name + ".png") // throws when it cannot
        }
    }
}
