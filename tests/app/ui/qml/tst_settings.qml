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
        settings = settingsComponent.createObject(testCase, {
            model: model, application: app, width: 248
        })
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
    function row(name) { return findChild(settings, name) }
    function control(rowName, name) { return findChild(row(rowName), name) }

    function test_rows_data() {
        return [
            { tag: "just created", mic: "unknown", net: "unknown" },
            { tag: "mic not asked", mic: "notDetermined", net: "granted" },
            { tag: "mic denied", mic: "denied", net: "granted" },
            { tag: "network denied", mic: "granted", net: "denied" },
            { tag: "both granted", mic: "granted", net: "granted" },
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
            compare(text ? text.text : null, status === "granted" ? "Granted" : status === "unknown" ? "Checking\u2026" : null, rowName)
            compare(!!control(rowName, "grantedLabel"), status === "granted", rowName)
            compare(!!control(rowName, "openSettingsButton"), status === "denied", rowName)
            compare(!!control(rowName, "allowButton"), status === "notDetermined", rowName)
        }
        compare(findChild(row("microphoneRow"), "rowTitle").text, "Microphone")
        compare(findChild(row("localNetworkRow"), "rowExplanation").text,
                "Required to send and receive audio between devices on your WiFi")
    }

    function test_allowAsksForTheMicrophone() {
        setStatuses("notDetermined", "unknown")
        const allow = control("microphoneRow", "allowButton")
        verify(allow.prominent)
        mouseClick(allow)
        compare(model.requestCount, 1)
        compare(model.openedSettings.length, 0)
    }

    function test_localNetworkAllowDoesNothing() {
        setStatuses("granted", "notDetermined")
        mouseClick(control("localNetworkRow", "allowButton"))
        compare(model.requestCount, 0)
        compare(model.openedSettings.length, 0)
    }

    function test_openSettingsAnchors() {
        setStatuses("denied", "denied")
        mouseClick(control("microphoneRow", "openSettingsButton"))
        mouseClick(control("localNetworkRow", "openSettingsButton"))
        compare(model.openedSettings, [false, true])
        compare(model.requestCount, 0)
    }

    function test_refreshWhenShownAndOnActivation() {
        compare(model.refreshCount, 0)
        app.state = Qt.ApplicationActive // not on screen: nothing
        app.state = Qt.ApplicationInactive
        compare(model.refreshCount, 0)
        settings.onScreen = true
        compare(model.refreshCount, 1)
        app.state = Qt.ApplicationActive
        compare(model.refreshCount, 2)
        app.state = Qt.ApplicationInactive
        compare(model.refreshCount, 2)
        settings.onScreen = false
        settings.onScreen = true
        compare(model.refreshCount, 3)
    }

    function test_grantShowsWithoutReopening() {
        setStatuses("denied", "granted")
        settings.onScreen = true
        setStatuses("granted", "granted")
        verify(control("microphoneRow", "grantedLabel"))
        verify(!control("microphoneRow", "openSettingsButton"))
    }
}
