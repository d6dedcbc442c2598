// For end-to-end tests of the real executable: when QDT_AUTOMATION_STATE names a file, the program
// writes what a player would see there ten times a second (texts, enabled and checked states,
// screen positions of the buttons, the open message box), so a test can drive it with real mouse
// clicks and check the outcome. Without the variable nothing happens.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class QMainWindow;

class AutomationHook : public QObject
{
    Q_OBJECT

public:
    // Starts reporting when the environment asks for it; otherwise does nothing.
    static void installIfRequested(QMainWindow* window);

private:
    AutomationHook(QMainWindow* window, QString path);
    void write();

    QMainWindow* window_;
    QString path_;
    QTimer timer_;
    QByteArray last_;
};
