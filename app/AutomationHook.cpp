#include "app/AutomationHook.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>

namespace {

QJsonObject describe(QWidget* w)
{
    // Places on the screen in its own pixels, where clicks land and screenshots are cut: under
    // display scaling they are the window's places times the scale.
    const qreal scale = w->devicePixelRatioF();
    const auto px = [scale](int v) { return qRound(v * scale); };
    const QPoint centre = w->mapToGlobal(w->rect().center());
    QJsonObject o;
    o[QStringLiteral("enabled")] = w->isEnabled();
    o[QStringLiteral("visible")] = w->isVisible();
    o[QStringLiteral("x")] = px(centre.x());
    o[QStringLiteral("y")] = px(centre.y());
    // The place on the screen, for checks of what a screenshot shows there.
    const QPoint topLeft = w->mapToGlobal(QPoint(0, 0));
    o[QStringLiteral("left")] = px(topLeft.x());
    o[QStringLiteral("top")] = px(topLeft.y());
    o[QStringLiteral("width")] = px(w->width());
    o[QStringLiteral("height")] = px(w->height());
    o[QStringLiteral("scale")] = scale;
    if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        o[QStringLiteral("text")] = b->text();
        o[QStringLiteral("checked")] = b->isChecked();
    }
    return o;
}

} // namespace

void AutomationHook::installIfRequested(QMainWindow* window)
{
    const QString path = qEnvironmentVariable("QDT_AUTOMATION_STATE");
    if (!path.isEmpty())
        new AutomationHook(window, path);
}

AutomationHook::AutomationHook(QMainWindow* window, QString path)
    : QObject(window), window_(window), path_(std::move(path))
{
    connect(&timer_, &QTimer::timeout, this, &AutomationHook::write);
    timer_.start(100);
}

void AutomationHook::write()
{
    QJsonObject state;
    state[QStringLiteral("pid")] = QCoreApplication::applicationPid();
    state[QStringLiteral("window")] = describe(window_);
    state[QStringLiteral("title")] = window_->windowTitle();
    QJsonObject widgets;
    for (QAbstractButton* b : window_->findChildren<QAbstractButton*>())
        if (!b->objectName().isEmpty())
            widgets[b->objectName()] = describe(b);
    if (auto* edit = window_->findChild<QLineEdit*>(QStringLiteral("lineEditGameFolder")))
        state[QStringLiteral("gameFolder")] = edit->text();
    if (auto* bar = window_->findChild<QProgressBar*>(QStringLiteral("progressBar"))) {
        QJsonObject p;
        p[QStringLiteral("format")] = bar->format();
        p[QStringLiteral("text")] = bar->text();
        p[QStringLiteral("value")] = bar->value();
        p[QStringLiteral("maximum")] = bar->maximum();
        state[QStringLiteral("progress")] = p;
    }
    state[QStringLiteral("widgets")] = widgets;
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        QJsonObject m;
        m[QStringLiteral("title")] = box->windowTitle();
        m[QStringLiteral("text")] = box->text();
        QJsonArray buttons;
        for (QAbstractButton* b : box->buttons())
            buttons.append(describe(b));
        m[QStringLiteral("buttons")] = buttons;
        state[QStringLiteral("messageBox")] = m;
    }
    const QByteArray json = QJsonDocument(state).toJson();
    if (json == last_)
        return;
    QSaveFile file(path_);
    if (file.open(QIODevice::WriteOnly) && file.write(json) == json.size() && file.commit())
        last_ = json;
}
