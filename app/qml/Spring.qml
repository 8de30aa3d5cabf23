import QtQuick

// A damped spring between two values, defined like the
// platform's springs by its response (period of the undamped oscillation, in
// seconds) and its damping fraction. Setting `target` starts a new motion from
// where the value is now; `value` follows.
QtObject {
    id: spring
    property real target: 0
    property real response: 0.2
    property real dampingFraction: 0.6
    property real value: target

    // The settle time: the envelope has fallen under one thousandth.
    readonly property real duration: Math.log(1000) / (dampingFraction * 2 * Math.PI / response)
    property real from: target
    property real elapsed: duration

    function position(t) {
        const w0 = 2 * Math.PI / response
        const z = dampingFraction
        const wd = w0 * Math.sqrt(1 - z * z)
        const decay = Math.exp(-z * w0 * t)
        return 1 - decay * (Math.cos(wd * t) + (z * w0 / wd) * Math.sin(wd * t))
    }

    onTargetChanged: {
        from = value
        clock.stop()
        elapsed = 0
        clock.start()
    }
    onElapsedChanged: value = elapsed >= duration ? target : from + (target - from) * position(elapsed)

    readonly property NumberAnimation clock: NumberAnimation {
        target: spring
        property: "elapsed"
        from: 0
        to: spring.duration
        duration: spring.duration * 1000
    }
}
