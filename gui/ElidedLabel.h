// A one-line label for messages of any length in a window of fixed size: it never asks for
// more room than one line of its font, draws what does not fit with an ellipsis and then
// carries the whole text as its tooltip. The window's layout therefore stays where it is when
// a message appears or changes.
#pragma once

#include <QLabel>

namespace quillon::gui {

class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget* parent = nullptr);
    explicit ElidedLabel(const QString& text, QWidget* parent = nullptr);

    // Hides QLabel::setText so that the tooltip follows the text.
    void setText(const QString& text);
    // True when the text is wider than the label and drawn cut.
    bool elided() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void updateToolTip();
};

}  // namespace quillon::gui
