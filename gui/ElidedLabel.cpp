// ElidedLabel: one line, cut with an ellipsis, the whole text in the tooltip when cut.
#include "gui/ElidedLabel.h"

#include <cmath>

#include <QFontMetricsF>
#include <QPainter>
#include <QStyle>

namespace quillon::gui {

ElidedLabel::ElidedLabel(QWidget* parent) : ElidedLabel(QString(), parent) {}

ElidedLabel::ElidedLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
    setWordWrap(false);
    setTextFormat(Qt::PlainText);
    // As wide as the layout gives, exactly one line high.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    updateToolTip();
}

void ElidedLabel::setText(const QString& text) {
    QLabel::setText(text);
    updateToolTip();
    update();
}

bool ElidedLabel::elided() const {
    return fontMetrics().elidedText(text(), Qt::ElideRight, contentsRect().width()) != text();
}

QSize ElidedLabel::sizeHint() const {
    // Whole pixels for a text measured in fractions, or the last letter would be cut.
    const int width = static_cast<int>(std::ceil(QFontMetricsF(font()).horizontalAdvance(text()))) + 1;
    const QMargins m = contentsMargins();
    return {width + m.left() + m.right(), fontMetrics().height() + m.top() + m.bottom()};
}

QSize ElidedLabel::minimumSizeHint() const { return {0, fontMetrics().height()}; }

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = contentsRect();
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, area.width());
    style()->drawItemText(&painter, area, static_cast<int>(alignment()), palette(), isEnabled(), shown, foregroundRole());
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    updateToolTip();
}

void ElidedLabel::updateToolTip() { setToolTip(elided() ? text() : QString()); }

}  // namespace quillon::gui
