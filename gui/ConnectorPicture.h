// The picture of the ten-pin programming connector beside the pin grid on the About tab,
// drawn by hand so that it scales with nothing and needs no image file: two columns of five
// pins inside a yellow outline, the key notch on the right, signal names beside the pins.
#pragma once

#include <QPoint>
#include <QRect>
#include <QString>
#include <QWidget>

namespace quillon::gui {

class ConnectorPicture : public QWidget {
    Q_OBJECT
public:
    explicit ConnectorPicture(QWidget* parent = nullptr);

    // The drawing area inside the frame, in widget coordinates.
    static QRect pictureArea();
    // Centre of connector pin 1..10 in widget coordinates. Odd pins are the right column,
    // pin 1 at the bottom; even pins the left column, pin 2 at the bottom.
    static QPoint pinCentre(int pin);
    // The signal name written beside a pin; empty for the two unlabelled ground pins 2 and 10.
    static QString pinLabel(int pin);

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace quillon::gui
