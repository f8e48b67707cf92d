// The pin reference grid of the About tab. Row 0 is drawn like a header row but lives in the
// table itself, so that every one of the 66 cells is an ordinary item the window can rewrite.
#include "gui/PinTable.h"

#include <QAbstractItemView>
#include <QHeaderView>
#include <QTableWidget>
#include <QTableWidgetItem>

#include <array>

namespace quillon::gui {
namespace {

using PinRow = std::array<const char*, pinTableColumns>;

// The package names keep their two trailing blanks: that is how the header has always read.
constexpr std::array<PinRow, pinTableRows> pinRows{{
    {"", "引脚", "24LE1_Q24  ", "24LE1_Q32  ", "24LE1_Q48  ", "24LU1_Q32  "},
    {"1", "VCC", "PIN2/7/18", "PIN2/9/24/27", "PIN3/13/36/39", "PIN1/3/9/19/24"},
    {"2", "VCC", "PIN2/7/18", "PIN2/9/24/27", "PIN3/13/36/39", "PIN1/3/9/19/24"},
    {"3", "RST", "PIN13", "PIN19", "PIN30", "PIN8"},
    {"4", "SMOSI", "PIN9(P0.3)", "PIN13(P0.7)", "PIN6(P0.3)", "PIN11(P0.1)"},
    {"5", "SSCK", "PIN8(P0.2)", "PIN11(P0.5)", "PIN2(P0.2)", "PIN10(P0.0)"},
    {"6", "PROG", "PIN5", "PIN6", "PIN10", "PIN7"},
    {"7", "SMISO", "PIN10(P0.4)", "PIN14(P1.0)", "PIN7(P0.4)", "PIN13(P0.2)"},
    {"8", "SCSN", "PIN11(P0.5)", "PIN15(P1.1)", "PIN8(P0.5)", "PIN14(P0.3)"},
    {"9", "GND", "PIN6/17/20", "PIN8/23/26", "PIN12/35/38", "PIN6/12/17/23/26"},
    {"10", "GND", "PIN6/17/20", "PIN8/23/26", "PIN12/35/38", "PIN6/12/17/23/26"},
}};

constexpr std::array<int, pinTableColumns> columnWidths{30, 52, 90, 90, 87, 96};
constexpr int rowHeight = 30;

QTableWidgetItem* makeCell(const QTableWidget& grid, int row) {
    auto* item = new QTableWidgetItem;
    if (row == 0) {
        // A header cell: not selectable, shaded like the button face of the fixed row.
        item->setFlags(Qt::ItemIsEnabled);
        item->setBackground(grid.palette().button());
        item->setForeground(grid.palette().buttonText());
    } else {
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    }
    return item;
}

}  // namespace

void fillPinTable(QTableWidget* grid) {
    if (grid == nullptr) return;
    if (grid->rowCount() < pinTableRows) grid->setRowCount(pinTableRows);
    if (grid->columnCount() < pinTableColumns) grid->setColumnCount(pinTableColumns);
    for (int row = 0; row < pinTableRows; ++row) {
        for (int column = 0; column < pinTableColumns; ++column) {
            const QString text = QString::fromUtf8(pinRows[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)]);
            QTableWidgetItem* item = grid->item(row, column);
            if (item == nullptr) {
                item = makeCell(*grid, row);
                grid->setItem(row, column, item);
            }
            item->setText(text);
            // The widths are the sheet's; in a wider font a long pin list is clipped, so
            // the whole text is always one hover away.
            item->setToolTip(text);
        }
    }
}

QTableWidget* makePinTable(QWidget* parent) {
    auto* grid = new QTableWidget(pinTableRows, pinTableColumns, parent);
    grid->setObjectName(QStringLiteral("StringGrid1"));
    grid->setGeometry(30, 55, 562, 346);
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Clip rather than elide: an ellipsis would replace characters of the pin list.
    grid->setTextElideMode(Qt::ElideNone);
    grid->setSelectionMode(QAbstractItemView::SingleSelection);
    // Row 0 of the table is the header, and no column is fixed: Qt's own headers stay hidden.
    grid->horizontalHeader()->hide();
    grid->verticalHeader()->hide();
    grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    grid->verticalHeader()->setDefaultSectionSize(rowHeight);
    grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    // The hidden header's least width follows the style's font (47 px with some Windows fonts)
    // and would widen the 30-pixel first column.
    grid->horizontalHeader()->setMinimumSectionSize(1);
    for (int column = 0; column < pinTableColumns; ++column)
        grid->setColumnWidth(column, columnWidths[static_cast<std::size_t>(column)]);
    fillPinTable(grid);
    return grid;
}

}  // namespace quillon::gui
