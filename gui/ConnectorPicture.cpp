// Paints the connector picture. All geometry hangs off a handful of constants in picture
// coordinates (the 229 x 176 area), so the pins, the outline and the labels stay aligned.
#include "gui/ConnectorPicture.h"

#include <QFont>
#include <QPainter>
#include <QPainterPath>

#include <array>

namespace quillon::gui {
namespace {

constexpr QSize pictureFrame{247, 184};
constexpr QSize areaSize{229, 176};
constexpr QPoint areaOrigin{(pictureFrame.width() - areaSize.width()) / 2,
                            (pictureFrame.height() - areaSize.height()) / 2};

// Picture coordinates.
constexpr int pitch = 28;
constexpr int firstRowY = 32;  // top row; rows go down by one pitch
constexpr int leftColumnX = 100;
constexpr int rightColumnX = leftColumnX + pitch;
constexpr int pinRadius = 6;
constexpr int outlineLeft = 80;
constexpr int outlineRight = 150;
constexpr int outlineTop = 14;
constexpr int outlineBottom = 162;
constexpr int notchDepth = 8;
constexpr int notchHalfHeight = 16;
constexpr int labelGap = 10;  // between the outline and the nearest label

const QColor outlineYellow{235, 190, 0};
const QColor pinColour{70, 70, 70};
const QColor labelColour{0, 0, 0};

// Index 0 is unused so that pin numbers index directly; pins 2 and 10 are the extra ground pins.
constexpr std::array<const char*, 11> labels{"", "VCC", "", "RST", "SMOSI", "SSCK", "PROG", "SMISO", "SCSN", "GND", ""};

}  // namespace

ConnectorPicture::ConnectorPicture(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("ConnectorPicture"));
    setFixedSize(pictureFrame);
}

QRect ConnectorPicture::pictureArea() { return {areaOrigin, areaSize}; }

QPoint ConnectorPicture::pinCentre(int pin) {
    if (pin < 1 || pin > 10) return {};
    const int rowFromBottom = (pin - 1) / 2;
    const int x = (pin % 2 == 1) ? rightColumnX : leftColumnX;
    const int y = firstRowY + (4 - rowFromBottom) * pitch;
    return areaOrigin + QPoint{x, y};
}

QString ConnectorPicture::pinLabel(int pin) {
    if (pin < 1 || pin > 10) return {};
    return QString::fromLatin1(labels[static_cast<std::size_t>(pin)]);
}

void ConnectorPicture::paintEvent(QPaintEvent*) {
    QPainter painter(this);

    // Sunken frame around a white picture area.
    const QRect outer = rect();
    painter.fillRect(outer, palette().window());
    painter.setPen(palette().color(QPalette::Dark));
    painter.drawLine(outer.topLeft(), outer.topRight());
    painter.drawLine(outer.topLeft(), outer.bottomLeft());
    painter.setPen(palette().color(QPalette::Light));
    painter.drawLine(outer.bottomLeft(), outer.bottomRight());
    painter.drawLine(outer.topRight(), outer.bottomRight());
    painter.fillRect(pictureArea(), Qt::white);

    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(areaOrigin);

    // The outline is one closed path, so the notch is a real step in the right-hand wall.
    const int notchCentre = firstRowY + 2 * pitch;
    QPainterPath outline;
    outline.moveTo(outlineLeft, outlineTop);
    outline.lineTo(outlineRight, outlineTop);
    outline.lineTo(outlineRight, notchCentre - notchHalfHeight);
    outline.lineTo(outlineRight - notchDepth, notchCentre - notchHalfHeight);
    outline.lineTo(outlineRight - notchDepth, notchCentre + notchHalfHeight);
    outline.lineTo(outlineRight, notchCentre + notchHalfHeight);
    outline.lineTo(outlineRight, outlineBottom);
    outline.lineTo(outlineLeft, outlineBottom);
    outline.closeSubpath();
    painter.setPen(QPen(outlineYellow, 4, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(outline);

    QFont font = painter.font();
    font.setPixelSize(13);
    font.setBold(true);
    painter.setFont(font);

    for (int pin = 1; pin <= 10; ++pin) {
        const QPoint centre = pinCentre(pin) - areaOrigin;
        painter.setPen(Qt::NoPen);
        painter.setBrush(pinColour);
        // Pin 1 is square, as on the board's silk screen.
        if (pin == 1)
            painter.drawRect(QRect(centre - QPoint(pinRadius, pinRadius), QSize(2 * pinRadius, 2 * pinRadius)));
        else
            painter.drawEllipse(centre, pinRadius, pinRadius);

        const QString label = pinLabel(pin);
        if (label.isEmpty()) continue;
        painter.setPen(labelColour);
        const int halfLine = pitch / 2;
        if (pin % 2 == 1) {
            const QRect box(outlineRight + labelGap, centre.y() - halfLine, areaSize.width() - outlineRight - labelGap,
                            2 * halfLine);
            painter.drawText(box, Qt::AlignLeft | Qt::AlignVCenter, label);
        } else {
            const QRect box(0, centre.y() - halfLine, outlineLeft - labelGap, 2 * halfLine);
            painter.drawText(box, Qt::AlignRight | Qt::AlignVCenter, label);
        }
    }
}

}  // namespace quillon::gui
