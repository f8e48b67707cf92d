// The program's icon, shared by the window and the desktop entry: one SVG, packaging/quillon.svg,
// compiled into the program as :/quillon.svg.
#pragma once

#include <QIcon>

namespace quillon::gui {

// The icon from the compiled-in resources; null only if the SVG icon plugin is missing.
QIcon appIcon();

}  // namespace quillon::gui
