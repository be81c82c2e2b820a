import QtQuick 2.4
import QtQuick.Controls 2.0
import launcher 1.0

ApplicationWindow {
    id: root

    property int mainHeight: 100
    property int buff: 0
    property string appVersion: version
    property string settingsPath: path

    visible: true
    // Constants, not bound to width: a resize by the window system must not move the limits along.
    width: 308
    minimumWidth: 308
    maximumWidth: 308
    height: mainHeight + buff
    minimumHeight: mainHeight
    maximumHeight: mainHeight + buff
    title: "tovrel settings v" + appVersion

    function init() {
        console.debug("version: " + appVersion)
    }

    Launch {
        id: launch
    }

    SwipeView {
        id: swipeView
        objectName: "SwipeView"
        anchors.fill: parent

        Page1 {
            id: page
            objectName: "page"
            outTextEdit: root.settingsPath
            onSetHeight: root.buff = hgt - 10
        }
    }

    Timer {
        id: exitTimeTimer
        objectName: "exitTimeTimer"
        interval: 1000
        repeat: true
        running: true
        onTriggered: {
            page.timeToExit = page.timeToExit - 1
            if (page.timeToExit < 1) {
                Utils.stdOut("$QUIT")
                Utils.quitCmd()
            }
        }
    }

    Timer {
        id: aliveTimeTimer
        objectName: "aliveTimeTimer"
        interval: 20000
        repeat: true
        running: true
        onTriggered: Utils.stdOut("$ALIVE")
    }

    Connections {
        target: page.quitButton
        function onClicked() {
            Utils.stdOut("$QUIT")
            Utils.quitCmd()
        }
    }

    Connections {
        target: page.pauseButton
        function onClicked() {
            Utils.stdOut("$PAUSE")
            // Stopped for good: a second press must not restart a countdown that is already at 0.
            exitTimeTimer.stop()
            page.timeToExit = 0
            page.pauseButton.enabled = false
        }
    }

    Connections {
        target: page.copyButton
        function onClicked() {
            Utils.copyClipboard(root.settingsPath)
        }
    }
}
