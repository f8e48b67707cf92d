// ElidedLabel: one line, cut with an ellipsis, the whole text in the tooltip when cut.
#include "gui/ElidedLabel.h"

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
    return fontMetrics().horizontalAdvance(text()) > contentsRect().width();
}

QSize ElidedLabel::sizeHint() const {
    return {fontMetrics().horizontalAdvance(text()), fontMetrics().height()};
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
