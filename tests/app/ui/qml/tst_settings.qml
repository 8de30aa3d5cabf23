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
            { tag: "mic not asked", mic: "notDetermined", net: "granted", clicked: ["requestMicrophoneAccess"] },
            { tag: "network not asked", mic: "granted", net: "notDetermined", clicked: [] },
            { tag: "mic denied", mic: "denied", net: "granted", clicked: ["openPrivacySettings 0"] },
            { tag: "network denied", mic: "granted", net: "denied", clicked: ["openPrivacySettings 1"] },
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
            if (warning.visible)
                compare(control(rowName, "rowWarningText").text, "Not set \u2014 Hollerhopper won't work without this")
            const text = control(rowName, "statusText")
            compare(text ? text.text : null, status === "granted" ? "Granted" : status === "unknown" ? "Checking\u2026"
                  : status === "unavailable" ? "No sound server is running" : null, rowName)
            compare(!!control(rowName, "grantedLabel"), status === "granted", rowName)
            compare(!!control(rowName, "openSettingsButton"), status === "denied", rowName)
            const allow = control(rowName, "allowButton")
            compare(!!allow, status === "notDetermined", rowName)
            if (allow)
                verify(allow.prominent)
            const button = allow || control(rowName, "openSettingsButton")
            if (button)
                mouseClick(button)
        }
        compare(model.events(), data.clicked)
        compare(control("microphoneRow", "rowTitle").text, "Microphone")
        compare(control("localNetworkRow", "rowExplanation").text,
                "Required to send and receive audio between devices on your WiFi")
    }

    function test_refreshWhenShownAndOnActivation() {
        app.state = Qt.ApplicationActive // not on screen: nothing
        app.state = Qt.ApplicationInactive
        compare(model.count("refresh"), 0)
        settings.onScreen = true
        compare(model.count("refresh"), 1)
        app.state = Qt.ApplicationActive
        compare(model.count("refresh"), 2)
        app.state = Qt.ApplicationInactive
        compare(model.count("refresh"), 2)
        settings.onScreen = false
        settings.onScreen = true
        compare(model.count("refresh"), 3)
        // A grant shows without reopening.
        setStatuses("denied", "granted")
        setStatuses("granted", "granted")
        verify(control("microphoneRow", "grantedLabel"))
        verify(!control("microphoneRow", "openSettingsButton"))
    }
}
