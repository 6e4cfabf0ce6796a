// The announcement of the new brand: what is coming, what the beta offers, and the way to it. The view holds
// no state; its button hands the press to the window's controller.
import QtQuick

Rectangle {
    id: root

    readonly property string family: "Lexend Deca"

    // Texts are keys of the string table, shown as written without a translation.
    function localized(key) {
        return qsTranslate("Localizable", key)
    }

    width: 500
    height: 613
    color: "white"

    // Inline components do not see this file's ids: they carry their own values.
    component Heading: Text {
        color: "black"
        font.family: "Lexend Deca"
        font.bold: true
        font.pixelSize: 26
        Accessible.role: Accessible.Heading
        Accessible.name: text
    }

    component Line: Text {
        color: Qt.rgba(137 / 255, 137 / 255, 137 / 255, 1)
        font.family: "Lexend Deca"
        font.pixelSize: 14
        Accessible.role: Accessible.StaticText
        Accessible.name: text
    }

    component Section: Column {
        property alias title: heading.text
        property alias lines: repeater.model

        spacing: 8
        bottomPadding: 20

        Heading {
            id: heading
            color: Qt.rgba(137 / 255, 137 / 255, 137 / 255, 1)
            bottomPadding: 1
        }
        Repeater {
            id: repeater
            Line {
                required property string modelData

                text: qsTranslate("Localizable", modelData)
            }
        }
    }

    Column {
        anchors.centerIn: parent
        width: root.width
        spacing: 8

        Heading {
            anchors.horizontalCenter: parent.horizontalCenter
            text: root.localized("New brand, same time travel")
        }

        // The artwork leaves room above its drawing; it is pulled up under the heading.
        Item {
            anchors.horizontalCenter: parent.horizontalCenter
            width: artwork.width
            height: artwork.height - 30

            Image {
                id: artwork
                y: -30
                source: "qrc:/images/New-App.svg"
                sourceSize.width: 340
                sourceSize.height: 140
                Accessible.ignored: true
            }
        }

        Item {
            width: parent.width
            height: 41

            Rectangle {
                x: 20
                y: 20
                width: parent.width - 40
                height: 1
                color: Qt.rgba(0, 0, 0, 0.1)
            }
        }

        Section {
            anchors.horizontalCenter: parent.horizontalCenter
            title: root.localized("Coming Soon")
            lines: ["• Headphone support", "• Screen recording", "• Cloud storage (optional)", "• Link sharing"]
        }

        Section {
            anchors.horizontalCenter: parent.horizontalCenter
            title: root.localized("Can’t wait? Join the beta")
            lines: ["• Priority access", "• 10 free recordings", "• 1 month free Tempolis", "• Access to Zonderia"]
        }

        Rectangle {
            id: button
            anchors.horizontalCenter: parent.horizontalCenter
            width: 363
            height: 60
            radius: 10
            antialiasing: true
            color: Qt.rgba(126 / 255, 217 / 255, 87 / 255, 1)
            activeFocusOnTab: true

            Accessible.role: Accessible.Button
            Accessible.name: label.text
            Accessible.onPressAction: controller.openProductWebPage()

            Keys.onSpacePressed: controller.openProductWebPage()
            Keys.onReturnPressed: controller.openProductWebPage()

            Text {
                id: label
                anchors.centerIn: parent
                text: root.localized("GET EARLY ACCESS")
                color: "black"
                font.family: root.family
                font.bold: true
                font.pixelSize: 20
                Accessible.ignored: true
            }

            MouseArea {
                anchors.fill: parent
                onClicked: controller.openProductWebPage()
            }
        }
    }
}
