// The About tab's pin reference grid: which chip pin carries each signal of the ten-pin
// programming connector, for the four packages we support. The content is fixed; the window
// rewrites it each time the tab is shown so that nothing a user did to the cells survives.
#pragma once

class QTableWidget;
class QWidget;

namespace quillon::gui {

inline constexpr int pinTableRows = 11;
inline constexpr int pinTableColumns = 6;

// Writes all 66 cells, row 0 (the header row) first, each row left to right. The texts are
// shown as they are in both languages. A grid with fewer rows or columns is grown to fit.
void fillPinTable(QTableWidget* grid);

// Builds the read-only grid "StringGrid1" at its place on the About tab, already filled.
QTableWidget* makePinTable(QWidget* parent);

}  // namespace quillon::gui
