// The About tab's pieces: the pin reference grid (content, refilling, shape, read-only), the
// hand-drawn connector picture (outline, key notch, labels), the program's icon and desktop entry.
#include "gui/AppIcon.h"
#include "gui/ConnectorPicture.h"
#include "gui/PinTable.h"

#include <QImage>
#include <QLineEdit>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTest>

#include <QSysInfo>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <vector>

using namespace quillon::gui;

namespace {

// Text, tooltip and flags of every cell, row by row.
std::vector<QString> snapshot(const QTableWidget& grid) {
    std::vector<QString> cells;
    for (int r = 0; r < grid.rowCount(); ++r)
        for (int c = 0; c < grid.columnCount(); ++c) {
            const QTableWidgetItem* item = grid.item(r, c);
            cells.push_back(item ? item->text() + '|' + item->toolTip() + '|' + QString::number(item->flags().toInt())
                                 : QStringLiteral("<none>"));
        }
    return cells;
}

bool isYellow(QRgb p) { return qRed(p) > 200 && qGreen(p) > 150 && qBlue(p) < 90; }
bool isInk(QRgb p) { return qRed(p) < 110 && qGreen(p) < 110 && qBlue(p) < 110; }

}  // namespace

TEST(PinTable, EveryCellReadsAsOnTheReferenceSheetAfterEachShow) {
    QWidget tab;
    QTableWidget* grid = makePinTable(&tab);
    grid->clearContents();
    fillPinTable(grid);
    ASSERT_EQ(grid->rowCount(), 11);
    ASSERT_EQ(grid->columnCount(), 6);
    for (int r = 0; r < 11; ++r)
        for (int c = 0; c < 6; ++c) {
            ASSERT_NE(grid->item(r, c), nullptr) << r << "," << c;
            EXPECT_EQ(grid->item(r, c)->toolTip(), grid->item(r, c)->text()) << "clipped text must stay readable";
        }
    auto cell = [&](int r, int c) { return grid->item(r, c)->text().toStdString(); };

    // The header: an empty corner, "pin" in Chinese in every language, the four packages with
    // their two trailing blanks.
    const std::vector<std::string> header{"", "引脚", "24LE1_Q24  ", "24LE1_Q32  ", "24LE1_Q48  ", "24LU1_Q32  "};
    for (int c = 0; c < 6; ++c) EXPECT_EQ(cell(0, c), header[static_cast<std::size_t>(c)]) << c;

    // Column 0 numbers the connector's ten pins; column 1 names each pin's signal as the
    // connector picture labels them (pins 2 and 10, unlabelled there, are VCC and GND again).
    const std::map<int, std::string> signal{{1, "VCC"},  {2, "VCC"},  {3, "RST"},  {4, "SMOSI"}, {5, "SSCK"},
                                            {6, "PROG"}, {7, "SMISO"}, {8, "SCSN"}, {9, "GND"},   {10, "GND"}};
    for (const auto& [pin, name] : signal) {
        EXPECT_EQ(cell(pin, 0), std::to_string(pin));
        EXPECT_EQ(cell(pin, 1), name) << "pin " << pin;
    }
    // The two supply pins of each kind lead to the same chip pins.
    for (int c = 2; c < 6; ++c) {
        EXPECT_EQ(cell(1, c), cell(2, c)) << c;
        EXPECT_EQ(cell(9, c), cell(10, c)) << c;
    }

    // Every chip cell names package pins; the four SPI signals also name their port pin.
    const std::regex chipPins(R"(PIN\d+(/\d+)*)"), portPin(R"(PIN\d+\(P[01]\.[0-7]\))");
    for (int r = 1; r < 11; ++r)
        for (int c = 2; c < 6; ++c) {
            const bool spi = r == 4 || r == 5 || r == 7 || r == 8;
            EXPECT_TRUE(std::regex_match(cell(r, c), spi ? portPin : chipPins)) << r << "," << c << " " << cell(r, c);
        }

    // Decisive cells per package (24LE1 Q24, Q32, Q48, 24LU1 Q32): reset, PROG, data in and out.
    struct Package {
        int column;
        const char *rst, *prog, *smosi, *smiso, *vcc;
    };
    const Package packages[] = {
        {2, "PIN13", "PIN5", "PIN9(P0.3)", "PIN10(P0.4)", "PIN2/7/18"},
        {3, "PIN19", "PIN6", "PIN13(P0.7)", "PIN14(P1.0)", "PIN2/9/24/27"},
        {4, "PIN30", "PIN10", "PIN6(P0.3)", "PIN7(P0.4)", "PIN3/13/36/39"},
        {5, "PIN8", "PIN7", "PIN11(P0.1)", "PIN13(P0.2)", "PIN1/3/9/19/24"},
    };
    for (const Package& p : packages) {
        SCOPED_TRACE(header[static_cast<std::size_t>(p.column)]);
        EXPECT_EQ(cell(3, p.column), p.rst);
        EXPECT_EQ(cell(6, p.column), p.prog);
        EXPECT_EQ(cell(4, p.column), p.smosi);
        EXPECT_EQ(cell(7, p.column), p.smiso);
        EXPECT_EQ(cell(1, p.column), p.vcc);
    }
    EXPECT_EQ(cell(9, 5), "PIN6/12/17/23/26");  // the 24LU1's five grounds

    // Showing again, even after the cells were disturbed, gives exactly the first grid; a bare
    // grid is grown to the sheet's shape rather than losing cells.
    const auto first = snapshot(*grid);
    grid->item(4, 1)->setText(QStringLiteral("MOSI"));
    delete grid->takeItem(10, 5);
    fillPinTable(grid);
    EXPECT_EQ(snapshot(*grid), first);
    fillPinTable(grid);
    EXPECT_EQ(snapshot(*grid), first);
    QTableWidget bare(2, 2);
    fillPinTable(&bare);
    EXPECT_EQ(snapshot(bare), first);
}

TEST(PinTable, FitsItsPlaceAndCannotBeEdited) {
    QWidget tab;
    tab.resize(962, 498);
    QTableWidget* grid = makePinTable(&tab);
    EXPECT_EQ(grid->objectName(), QStringLiteral("StringGrid1"));
    EXPECT_EQ(grid->geometry(), QRect(30, 55, 562, 346));
    const int widths[] = {30, 52, 90, 90, 87, 96};
    for (int c = 0; c < 6; ++c) EXPECT_EQ(grid->columnWidth(c), widths[c]) << c;
    tab.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&tab));
    EXPECT_FALSE(grid->verticalScrollBar()->isVisible()) << "some rows hidden";
    EXPECT_FALSE(grid->horizontalScrollBar()->isVisible()) << "some columns hidden";
    EXPECT_FALSE(grid->item(0, 2)->flags() & Qt::ItemIsSelectable) << "header row selectable";

    const auto before = snapshot(*grid);
    grid->setCurrentCell(3, 1);
    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, grid->visualItemRect(grid->item(3, 1)).center());
    QTest::keyClick(grid, Qt::Key_F2);
    QTest::keyClicks(grid, "XYZ");
    QTest::keyClick(grid, Qt::Key_Return);
    QTest::keyClick(grid, Qt::Key_Delete);
    EXPECT_TRUE(grid->viewport()->findChildren<QLineEdit*>().isEmpty()) << "a cell editor opened";
    EXPECT_EQ(snapshot(*grid), before);
}

TEST(ConnectorPicture, YellowOutlineNotchedOnTheRightAndLabelledPins) {
    ConnectorPicture picture;
    EXPECT_EQ(picture.objectName(), QStringLiteral("ConnectorPicture"));
    EXPECT_EQ(picture.size(), QSize(247, 184));
    EXPECT_EQ(ConnectorPicture::pictureArea().size(), QSize(229, 176));
    QImage image(picture.size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    picture.render(&image);

    int left = image.width(), right = -1, top = image.height(), bottom = -1;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (isYellow(image.pixel(x, y)))
                left = std::min(left, x), right = std::max(right, x), top = std::min(top, y), bottom = std::max(bottom, y);
    ASSERT_GE(right, 0) << "no yellow outline drawn";
    auto rightmostYellow = [&](int y) {
        int x = right;
        while (x >= left && !isYellow(image.pixel(x, y))) --x;
        return x;
    };
    // The left wall is unbroken; the right wall steps inwards at the middle pin row only.
    for (int y = top + 3; y <= bottom - 3; ++y) ASSERT_TRUE(isYellow(image.pixel(left + 1, y))) << "left wall gap at " << y;
    const QPoint middle = ConnectorPicture::pinCentre(5);
    EXPECT_GE(rightmostYellow(top + 5), right - 1);
    EXPECT_GE(rightmostYellow(bottom - 5), right - 1);
    EXPECT_LT(rightmostYellow(middle.y()), right - 4);
    EXPECT_GT(rightmostYellow(middle.y()), middle.x()) << "notch cuts into the pins";
    EXPECT_GT(ConnectorPicture::pinCentre(1).y(), ConnectorPicture::pinCentre(9).y()) << "pin 1 belongs at the bottom";

    // Every pin is drawn inside the outline; text stands beside all but pins 10 and 2.
    const QRect area = ConnectorPicture::pictureArea();
    for (int pin = 1; pin <= 10; ++pin) {
        const QPoint c = ConnectorPicture::pinCentre(pin);
        EXPECT_TRUE(c.x() > left && c.x() < right && c.y() > top && c.y() < bottom && isInk(image.pixel(c))) << pin;
        const bool rightSide = pin % 2 == 1;
        int ink = 0;
        for (int y = c.y() - 8; y <= c.y() + 8; ++y)
            for (int x = rightSide ? right + 2 : area.left(); x <= (rightSide ? area.right() : left - 2); ++x)
                ink += isInk(image.pixel(x, y)) ? 1 : 0;
        EXPECT_EQ(ink > 0, pin != 2 && pin != 10) << "pin " << pin << " ink " << ink;
    }
}

TEST(AppIcon, LoadsFromResourcesAndPaints) {
    const QIcon icon = appIcon();
    if (icon.isNull() && QSysInfo::kernelType() == QLatin1String("winnt"))
        GTEST_SKIP() << "this Qt has no SVG renderer: on Windows the windows take quillon.exe's icon resource "
                        "(window_win32_test checks it)";
    ASSERT_FALSE(icon.isNull());
    const QImage image = icon.pixmap(48, 48).toImage().convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(image.size(), QSize(48, 48)) << "SVG icon engine missing? (package libqt6svg6)";
    int opaque = 0;
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 48; ++x) opaque += qAlpha(image.pixel(x, y)) > 128 ? 1 : 0;
    EXPECT_GT(opaque, 48 * 48 / 5);
    EXPECT_LT(opaque, 48 * 48) << "background should be transparent";
}

TEST(DesktopEntry, PassesTheValidator) {
    const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    if (validator.isEmpty()) GTEST_SKIP() << "desktop-file-validate not installed (package desktop-file-utils)";
    const std::string command = validator.toStdString() + " " QUILLON_SOURCE_DIR "/packaging/quillon.desktop";
    EXPECT_EQ(std::system(command.c_str()), 0);
}
