// The window's hot key on the toolkit's own connection to the window system: on X11 the grab is
// made on Qt's xcb connection, so the press comes back through the window's native event filter.
#include <QGuiApplication>

#include "gui/MainWindow.h"
#include "hotkey/GlobalHotKey.h"

namespace quillon::gui {

std::unique_ptr<hotkey::GlobalHotKey> MakeWindowHotKey(UiHost& host) {
    void* connection = nullptr;
#if QT_CONFIG(xcb)
    if (auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()) connection = x11->connection();
#endif
    return hotkey::MakeGlobalHotKey(host, connection);
}

}  // namespace quillon::gui
