import QtQuick

// Colours and text sizes of the panels: the desktop's palette and font, with
// the semantic styles mapped to sizes relative to the system font.
QtObject {
    id: style

    readonly property SystemPalette palette: SystemPalette { colorGroup: SystemPalette.Active }
    readonly property real base: Qt.application.font.pixelSize > 0 ? Qt.application.font.pixelSize
                                                                   : Qt.application.font.pointSize * 4 / 3

    readonly property color background: palette.window
    readonly property color label: palette.windowText
    readonly property color secondary: Qt.rgba(label.r, label.g, label.b, 0.62)
    readonly property color tertiary: Qt.rgba(label.r, label.g, label.b, 0.38)
    readonly property color separator: Qt.rgba(label.r, label.g, label.b, 0.18)
    readonly property color accent: palette.highlight
    readonly property bool isDark: background.hslLightness < 0.5

    readonly property color red: isDark ? "#ff453a" : "#e0352b"
    readonly property color green: isDark ? "#32d74b" : "#1f9e3a"
    readonly property color orange: isDark ? "#ff9f0a" : "#d97706"

    readonly property real title3: Math.round(base * 1.4)
    readonly property real headline: Math.round(base * 1.15)
    readonly property real subheadline: Math.round(base * 1.0)
    readonly property real callout: Math.round(base * 1.05)
    readonly property real caption: Math.round(base * 0.88)
    readonly property real caption2: Math.round(base * 0.8)
}
