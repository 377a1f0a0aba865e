// The board's Qt Quick probe: a full-screen window whose items log, on
// standard error, what Qt Quick recognised of each touch, for the judge to
// hold against tapfuzz's own log.
import QtQuick 2.12
import QtQuick.Window 2.12

Window {
    visible: true
    width: Screen.width
    height: Screen.height
    color: "#204060"
    property int presses: 0

    PinchArea {
        anchors.fill: parent
        onPinchStarted: console.log("probe: pinch started at " + Math.round(pinch.center.x) + "," + Math.round(pinch.center.y))
        onPinchFinished: console.log("probe: pinch finished scale " + pinch.scale.toFixed(2) + " angle " + pinch.angle.toFixed(1))

        MouseArea {
            anchors.fill: parent
            onPressed: { presses++; console.log("probe: press " + mouse.x + "," + mouse.y) }
            onPressAndHold: console.log("probe: hold " + mouse.x + "," + mouse.y)
            onClicked: console.log("probe: click " + mouse.x + "," + mouse.y)
            onReleased: console.log("probe: release " + mouse.x + "," + mouse.y)
        }
    }
    // Something that changes with every press, for the screen checks.
    Rectangle {
        x: (presses * 97) % (parent.width - 40); y: (presses * 53) % (parent.height - 40)
        width: 40; height: 40; color: "#f0c020"
    }
}
