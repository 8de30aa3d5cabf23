import QtQuick

// A monochrome symbol by its name ("gearshape", "mic.fill", ...), drawn from
// the icon theme or from our own artwork, tinted with `color`.
Image {
    id: symbol
    property string name
    property color color: "black"
    property real size: 16

    width: size
    height: size
    sourceSize.width: Math.ceil(size * Screen.devicePixelRatio)
    sourceSize.height: Math.ceil(size * Screen.devicePixelRatio)
    fillMode: Image.PreserveAspectFit
    smooth: true
    // "#" would start a URL fragment, so the colour goes without it.
    source: name.length > 0 ? "image://symbol/" + name + "?" + String(color).replace("#", "") : ""
    Accessible.ignored: true
}
