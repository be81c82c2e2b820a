import QtQuick 2.4
import QtQuick.Controls 2.2

Page {
    id: page

    property string outTextEdit: ""
    property int timeToExit: 15
    property alias quitButton: quitButton
    property alias pauseButton: pauseButton
    property alias copyButton: buttonCopy

    signal setHeight(int hgt)

    wheelEnabled: true
    hoverEnabled: false
    focusPolicy: Qt.TabFocus
    title: ""

    Text {
        id: textField
        objectName: "textField"
        height: contentHeight + 12
        anchors.top: parent.top
        anchors.topMargin: 16
        anchors.left: parent.left
        anchors.leftMargin: 16
        anchors.right: buttonCopy.left
        anchors.rightMargin: 1
        text: page.outTextEdit
        // Word-wrapped; a settings path longer than a line has no blanks and must still be seen whole.
        wrapMode: Text.WrapAtWordBoundaryOrAnywhere
        horizontalAlignment: Text.AlignLeft
        verticalAlignment: Text.AlignTop
        font.pointSize: 8
        onHeightChanged: page.setHeight(contentHeight)
    }

    Button {
        id: buttonCopy
        objectName: "buttonCopy"
        width: 14
        height: 24
        anchors.top: parent.top
        anchors.topMargin: 16
        anchors.right: parent.right
        anchors.rightMargin: 16

        Image {
            anchors.fill: parent
            source: "images/copy_icon.png"
            fillMode: Image.PreserveAspectFit
            opacity: 0.3
        }
    }

    Button {
        id: quitButton
        objectName: "quitButton"
        width: 130
        height: 30
        anchors.top: textField.bottom
        anchors.topMargin: 16
        anchors.right: parent.right
        anchors.rightMargin: 16
        text: "Перезапуск " + (page.timeToExit < 1 ? "" : page.timeToExit)
        font.pixelSize: 16
        // "Перезапуск 15" at 16 pixels needs nearly all of the 130 pixels.
        leftPadding: 2
        rightPadding: 2
    }

    Button {
        id: pauseButton
        objectName: "pauseButton"
        width: 130
        height: 30
        anchors.top: textField.bottom
        anchors.topMargin: 16
        anchors.right: quitButton.left
        anchors.rightMargin: 16
        text: qsTr("Пауза")
        font.pixelSize: 16
    }
}
