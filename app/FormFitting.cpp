// Fitting the form's texts to the fonts this system has.
#include "app/FormFitting.h"

#include <vector>

#include <QCheckBox>
#include <QFontMetrics>
#include <QLayout>
#include <QStyle>

namespace {

// Room kept between a text and its widget's edges, beyond what the style puts there itself.
constexpr int kTextRoom = 6;

// The widest line of a widget's text and the height of all its lines, in its font.
QSize textSize(const QWidget* w)
{
    const QFontMetrics metrics(w->font());
    const QStringList lines = w->property("text").toString().split(QLatin1Char('\n'));
    int width = 0;
    for (const QString& line : lines)
        width = qMax(width, metrics.horizontalAdvance(line));
    return QSize(width, static_cast<int>(lines.size()) * metrics.lineSpacing());
}

// Makes the font of `widgets` smaller in half points, from the form's size down to 6 pt at the
// least, until `fits` holds.
template <typename Fits> void shrinkFontUntil(const std::vector<QWidget*>& widgets, Fits fits)
{
    QFont font = widgets.front()->font();
    for (int step = 0; step < 60 && !fits() && font.pointSizeF() > 6.0; ++step) {
        font.setPointSizeF(font.pointSizeF() - 0.5);
        for (QWidget* w : widgets)
            w->setFont(font);
    }
}

// The form is laid out for Windows' own fonts; where they are missing (other systems, Wine) the
// fonts that stand in for them are often wider. The check box's two lines, placed at a fixed size,
// were cut off ("Restore original on clos"), and the language buttons' texts reached their edges.
// A text that does not fit its place gets the largest size, up to the form's own, at which it
// shows whole with room around it; a text that fits is left exactly as the form has it.
} // namespace

void fitTextsToTheirPlaces(Ui::QuenDaraTranslationClass& ui)
{
    QCheckBox* box = ui.restoreCheckbox;
    const auto boxFits = [box] {
        const QSize text = textSize(box);
        return box->sizeHint().width() + kTextRoom <= box->width() &&
               text.height() + kTextRoom <= box->height();
    };
    if (!boxFits()) {
        // The check box may use the free column left of the start button.
        const QRect startPlace = ui.pushButtonStart->geometry();
        const int middle = box->geometry().center().y();
        const int height = qMax(box->height(), 2 * (middle - startPlace.top()));
        box->setGeometry(box->x(), middle - height / 2, startPlace.left() - box->x() - kTextRoom,
                         height);
        const QFont own = box->font();
        shrinkFontUntil({box}, boxFits);
        if (!boxFits()) {
            // The system's stand-in for the default font may be a bitmap font that does not get
            // smaller (seen under Wine); the buttons' family scales wherever they fit.
            QFont font = own;
            font.setFamily(ui.pushButtonStart->font().family());
            box->setFont(font);
            shrinkFontUntil({box}, boxFits);
        }
    }

    // The three buttons share their row, and the layout gives each at least its minimum width:
    // that is their text's width with room on both sides, and they fit when the row's minimum
    // does.
    QWidget* row = ui.pushButtonEnglish->parentWidget();
    QLayout* layout = row->layout();
    const std::vector<QWidget*> buttons = {ui.pushButtonEnglish_2, ui.pushButtonEnglish,
                                           ui.pushButtonRussian};
    const int frame = 2 * (row->style()->pixelMetric(QStyle::PM_ButtonMargin) +
                           row->style()->pixelMetric(QStyle::PM_DefaultFrameWidth));
    // A button is as tall as its text needs (its size hint); its lines must fit the row.
    const auto buttonsFit = [&](bool setMinimum) {
        for (QWidget* b : buttons) {
            const QSize text = textSize(b);
            if (text.height() + 2 * kTextRoom + frame > row->height())
                return false;
            const int width = text.width() + 2 * kTextRoom + frame;
            if (setMinimum)
                b->setMinimumWidth(width);
            else if (width > b->width())
                return false;
        }
        if (!setMinimum)
            return true;
        layout->invalidate();
        return layout->minimumSize().width() <= row->width();
    };
    row->ensurePolished();
    layout->activate();
    if (!buttonsFit(false)) {
        shrinkFontUntil(buttons, [&] { return buttonsFit(true); });
        layout->activate();
    }

    QWidget* start = ui.pushButtonStart;
    shrinkFontUntil({start}, [start, frame] {
        const QSize text = textSize(start);
        return text.width() + 2 * kTextRoom + frame <= start->width() &&
               text.height() + 2 * kTextRoom + frame <= start->height();
    });
}
