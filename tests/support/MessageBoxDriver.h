// Answers modal message boxes in tests: a timer looks for the active modal box, records its text
// and title, and presses the button the test asked for.
#pragma once

#include <functional>
#include <vector>

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

class QMessageBox;

struct SeenMessageBox
{
    QString title;
    QString text;
    QStringList buttons; // button texts, in the order the box lays them out
};

class MessageBoxDriver : public QObject
{
    Q_OBJECT

public:
    // Chooses which button to press; by default the box's default button (or its first).
    // Returning an empty string presses the escape button (as Esc would).
    using Chooser = std::function<QString(const SeenMessageBox&)>;

    explicit MessageBoxDriver(Chooser chooser = {});
    ~MessageBoxDriver() override;

    const std::vector<SeenMessageBox>& seen() const { return seen_; }
    QStringList texts() const;

private:
    void poll();

    Chooser chooser_;
    QTimer timer_;
    std::vector<SeenMessageBox> seen_;
};
