#include "tests/support/MessageBoxDriver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

MessageBoxDriver::MessageBoxDriver(Chooser chooser) : chooser_(std::move(chooser))
{
    connect(&timer_, &QTimer::timeout, this, &MessageBoxDriver::poll);
    timer_.start(10);
}

MessageBoxDriver::~MessageBoxDriver() = default;

QStringList MessageBoxDriver::texts() const
{
    QStringList out;
    for (const auto& box : seen_)
        out << box.text;
    return out;
}

void MessageBoxDriver::poll()
{
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || box->property("qdtAnswered").toBool())
        return;
    box->setProperty("qdtAnswered", true);
    SeenMessageBox seen{box->windowTitle(), box->text(), {}};
    for (QAbstractButton* b : box->buttons())
        seen.buttons << b->text();
    seen_.push_back(seen);

    QAbstractButton* press = box->defaultButton();
    if (!press && !box->buttons().isEmpty())
        press = box->buttons().first();
    if (chooser_) {
        const QString choice = chooser_(seen);
        if (choice.isEmpty()) {
            press = nullptr;
            QPointer<QMessageBox> target(box);
            QTimer::singleShot(0, [target] {
                if (!target)
                    return;
                QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
                QApplication::sendEvent(target, &press);
            });
        } else {
            for (QAbstractButton* b : box->buttons())
                if (b->text() == choice)
                    press = b;
        }
    }
    if (press)
        QMetaObject::invokeMethod(press, "click", Qt::QueuedConnection);
}
