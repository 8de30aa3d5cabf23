import QtQuick

// One line of text that may come from the network: never markup, elided
// when too long, nothing drawn outside its own line (stacked marks are
// clipped), and read by screen readers under its own text.
Text {
    textFormat: Text.PlainText
    clip: true
    elide: Text.ElideRight
    maximumLineCount: 1
    wrapMode: Text.NoWrap
    Accessible.role: Accessible.StaticText
    Accessible.name: text
}
