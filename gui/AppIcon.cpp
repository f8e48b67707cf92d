// Loads the program's icon. quillon_gui is a static library, so its resources are registered
// explicitly here: otherwise the linker drops the unreferenced resource object and :/ is empty.
#include "gui/AppIcon.h"

// Q_INIT_RESOURCE declares a function and must stand outside any namespace.
static void registerGuiResources() { Q_INIT_RESOURCE(resources); }

namespace quillon::gui {

QIcon appIcon() {
    static const bool registered = (registerGuiResources(), true);
    (void)registered;
    QIcon icon(QStringLiteral(":/quillon.svg"));
    // A Qt without an SVG renderer (the Windows build's) draws nothing from it: the windows then
    // keep the program file's own icon resource.
    if (icon.pixmap(32, 32).isNull()) return {};
    return icon;
}

}  // namespace quillon::gui
