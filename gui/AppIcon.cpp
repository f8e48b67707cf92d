// Loads the program's icon. quillon_gui is a static library, so its resources are registered
// explicitly here: otherwise the linker drops the unreferenced resource object and :/ is empty.
#include "gui/AppIcon.h"

// Q_INIT_RESOURCE declares a function and must stand outside any namespace.
static void registerGuiResources() { Q_INIT_RESOURCE(resources); }

namespace quillon::gui {

QIcon appIcon() {
    static const bool registered = (registerGuiResources(), true);
    (void)registered;
    return QIcon(QStringLiteral(":/quillon.svg"));
}

}  // namespace quillon::gui
