import QtQuick

// Colours and text sizes of the panels. Two palettes of our own, light and
// dark, chosen by the desktop's colour scheme (`isDark`, set by the panel),
// every text colour on its background at least 4.5:1; text sizes relative
// to the desktop's font.
QtObject {
    id: style

    readonly property SystemPalette palette: SystemPalette { colorGroup: SystemPalette.Active }
    // Without a scheme from the desktop: its palette's window colour decides.
    readonly property bool isSystemDark: palette.window.hslLightness < 0.5
    property bool isDark: isSystemDark
    readonly property real base: Qt.application.font.pixelSize > 0 ? Qt.application.font.pixelSize
                                                                   : Qt.application.font.pointSize * 4 / 3

    readonly property color background: isDark ? "#232325" : "#f7f7f8"
    readonly property color label: isDark ? "#f2f2f3" : "#1d1d1f"
    readonly property color secondary: Qt.rgba(label.r, label.g, label.b, 0.68)
    // Only for shapes, never for text.
    readonly property color tertiary: Qt.rgba(label.r, label.g, label.b, 0.38)
    readonly property color separator: Qt.rgba(label.r, label.g, label.b, 0.18)
    // Links, pill buttons and focus rings on the background.
    readonly property color accent: isDark ? "#5aa9ff" : "#0a5fcf"
    // The talk button's faces under their white words.
    readonly property color buttonFill: "#0a5fcf"
    readonly property color buttonOnAir: "#c42b22"
    readonly property color buttonDisabled: isDark ? "#5c5c60" : "#6b6b70"

    readonly property color red: isDark ? "#ff6b61" : "#c42b22"
    readonly property color green: isDark ? "#3ad35a" : "#17803a"
    // The one colour of every error and warning sentence.
    readonly property color orange: isDark ? "#ffab4d" : "#9a4506"

    readonly property real title3: Math.round(base * 1.4)
    readonly property real headline: Math.round(base * 1.15)
    readonly property real subheadline: Math.round(base * 1.0)
    readonly property real callout: Math.round(base * 1.05)
    readonly property real caption: Math.round(base * 0.88)
    readonly property real caption2: Math.round(base * 0.8)
}
