import QtQuick
import QtTest
import Hollerhopper.Fakes
import "../../../../app/qml"

TestCase {
    id: testCase
    name: "SettingsView"
    width: 320
    height: 400
    visible: true
    when: windowShown

    Component { id: permissionsComponent; FakePermissions {} }
    Component { id: applicationComponent; QtObject { property int state: Qt.ApplicationInactive } }
    Component { id: settingsComponent; SettingsView { style: Style {} } }
    Component { id: hotkeyComponent; FakeHotkey {} }
    Component { id: controllerComponent; FakeController { displayName: "Desk" } }
    Component { id: preferencesComponent; QtObject { property bool wasReset: true } }

    property var model
    property var app
    property var settings

    function init() {
        model = createTemporaryObject(permissionsComponent, testCase)
        app = createTemporaryObject(applicationComponent, testCase)
        settings = settingsComponent.createObject(testCase, { model: model, application: app, width: 248 })
        verify(settings)
    }

    function cleanup() {
        settings.destroy()
        wait(0)
    }

    // The old status control goes at the next turn of the event loop.
    function setStatuses(mic, net) {
        model.setStatuses(mic, net)
        wait(0)
    }
    function control(rowName, name) { return findChild(findChild(settings, rowName), name) }

    // Each row's control per status; clicking it asks the model for what the
    // row needs (nothing for the local network's Allow, which has no prompt).
    function test_rows_data() {
        return [
            { tag: "just created", mic: "unknown", net: "unknown", clicked: [] },
            { tag: "no sound server", mic: "unavailable", net: "granted", clicked: [] },
            { tag: "no microphone", mic: "noDevice", net: "granted", clicked: [] },
            { tag: "mic not asked", mic: "notDetermined", net: "granted", clicked: ["requestMicrophoneAccess"] },
            { tag: "both denied", mic: "denied", net: "denied", clicked: ["openPrivacySettings 0", "openPrivacySettings 1"] },
            { tag: "both granted", mic: "granted", net: "granted", clicked: [] },
        ]
    }
    function test_rows(data) {
        setStatuses(data.mic, data.net)
        const expectations = { microphoneRow: data.mic, localNetworkRow: data.net }
        for (const rowName in expectations) {
            const status = expectations[rowName]
            const warning = control(rowName, "rowWarning")
            compare(warning.visible, status === "denied" || status === "notDetermined", rowName)
            const text = control(rowName, "statusText")
            compare(text ? text.text : null, status === "granted" ? "Granted" : status === "unknown" ? "Checking\u2026"
                  : status === "unavailable" ? "No sound server is running"
                  : status === "noDevice" ? "No microphone found" : null, rowName)
            compare(!!control(rowName, "grantedLabel"), status === "granted", rowName)
            compare(!!control(rowName, "openSettingsButton"), status === "denied", rowName)
            const allow = control(rowName, "allowButton")
            compare(!!allow, status === "notDetermined", rowName)
            const button = allow || control(rowName, "openSettingsButton")
            if (button)
                mouseClick(button)
        }
        compare(model.events(), data.clicked)
        // A wired computer has no Wi-Fi: the row speaks of the network.
        verify(control("localNetworkRow", "rowExplanation").text.endsWith("devices on your network"))
    }

    // Read again when shown, when the program is activated while shown, and
    // once per change of the sound server's state while shown.
    function test_refresh() {
        const controller = createTemporaryObject(controllerComponent, testCase)
        settings.controller = controller
        const steps = [[() => { app.state = Qt.ApplicationActive }, 0], // not on screen: nothing
                       [() => controller.setConnectionState("audioError", "gone"), 0], // nor here
                       [() => { app.state = Qt.ApplicationInactive; settings.onScreen = true }, 1],
                       [() => { app.state = Qt.ApplicationActive }, 2],
                       [() => controller.setConnectionState("audioError", "still gone"), 2],
                       [() => controller.setConnectionState("ready"), 3]]
        steps.forEach(([change, refreshes], i) => {
            change()
            compare(model.count("refresh"), refreshes, i)
        })
    }

    // The key-capture field: a click listens, the next key with its modifiers
    // becomes the key unless another program holds it, a modifier alone waits;
    // Clear empties it. Each status is said in words.
    function test_pushToTalkKey() {
        const hotkey = createTemporaryObject(hotkeyComponent, testCase)
        const controller = createTemporaryObject(controllerComponent, testCase)
        const withKey = settingsComponent.createObject(testCase, {
            model: model, application: app, width: 248, hotkey: hotkey, controller: controller,
            preferences: createTemporaryObject(preferencesComponent, testCase) })
        hotkey.setKey("Pause")
        const field = findChild(withKey, "keyField"), status = findChild(withKey, "keyStatus")
        compare(field.text, "Push-to-talk key: Pause")
        mouseClick(field)
        compare(field.text, "Push-to-talk key: press a key…")
        keyPress(Qt.Key_Control, Qt.ControlModifier)
        keyClick(Qt.Key_Space, Qt.ControlModifier)
        compare(hotkey.key, "ctrl+space")
        compare(field.text, "Push-to-talk key: Ctrl+Space")
        // A key another program holds is not taken: the field says so and listens on.
        hotkey.setTakenKeys(["F10"])
        mouseClick(field)
        keyClick(Qt.Key_F10)
        compare(field.text, "F10 is used by another program: press another key…")
        compare(hotkey.key, "ctrl+space")
        keyClick(Qt.Key_F9)
        compare(hotkey.key, "F9")
        compare(status.text, "Hold F9 anywhere to talk, even with the panel closed.")
        mouseClick(findChild(withKey, "clearKeyButton"))
        compare(hotkey.key, "")
        compare(field.text, "Push-to-talk key: none")
        verify(findChild(withKey, "settingsReset").visible)

        // The name others see, applied when done.
        const name = findChild(withKey, "nameField")
        name.text = "attic"
        name.editingFinished()
        compare(controller.displayName, "attic")
        withKey.destroy()
    }

    // The reply key, unset at first, is chosen as the push-to-talk key is; the
    // two are never one chord: each field refuses the other's and listens on.
    function test_replyKey() {
        const hotkey = createTemporaryObject(hotkeyComponent, testCase)
        const reply = createTemporaryObject(hotkeyComponent, testCase)
        const view = settingsComponent.createObject(testCase, {
            model: model, application: app, width: 248, hotkey: hotkey, replyHotkey: reply })
        hotkey.setKey("Pause")
        const field = findChild(view, "replyKeyField"), status = findChild(view, "replyKeyStatus")
        compare([field.text, status.text], ["Reply key: none", "No reply key: hold the reply button in this panel to reply."])
        mouseClick(field)
        compare(field.text, "Reply key: press a key…")
        keyClick(Qt.Key_Pause)
        compare([field.text, reply.key], ["Pause is the push-to-talk key: press another key…", ""])
        keyClick(Qt.Key_F8, Qt.ShiftModifier)
        compare([field.text, reply.key], ["Reply key: Shift+F8", "shift+F8"])
        compare(status.text, "Hold Shift+F8 anywhere to reply to whoever last talked to you alone.")
        const talkField = findChild(view, "keyField")
        mouseClick(talkField)
        keyClick(Qt.Key_F8, Qt.ShiftModifier)
        compare([talkField.text, hotkey.key], ["Shift+F8 is the reply key: press another key…", "Pause"])
        keyClick(Qt.Key_Escape)
        compare(talkField.text, "Push-to-talk key: Pause")
        mouseClick(findChild(view, "clearReplyKeyButton"))
        compare([reply.key, hotkey.key], ["", "Pause"])
        view.destroy()
    }

    // The channel: a name without a passphrase is refused and changes nothing;
    // with one the channel is private and the passphrase leaves the field; an
    // empty name and passphrase go back to Everyone.
    function test_channel() {
        const controller = createTemporaryObject(controllerComponent, testCase)
        settings.controller = controller
        const name = findChild(settings, "channelField"), passphrase = findChild(settings, "passphraseField")
        const join = findChild(settings, "joinChannelButton"), status = findChild(settings, "channelStatus")
        compare(passphrase.echoMode, TextInput.Password)
        name.text = "Office"
        mouseClick(join)
        compare(controller.isChannelPrivate, false)
        compare(status.text, "A private channel needs a name and a passphrase.")
        passphrase.text = "maple orbit velvet canyon"
        mouseClick(join)
        compare([controller.channelName, controller.isChannelPrivate], ["Office", true])
        compare(passphrase.text, "")
        compare(status.text, "Only those with the passphrase hear you.")
        name.text = ""
        mouseClick(join)
        compare([controller.channelName, controller.isChannelPrivate], ["Everyone", false])
        compare(status.text, "Everyone on this network hears you.")
    }
}
