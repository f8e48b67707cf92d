#!/usr/bin/env bash
# Renders packaging/quillon.svg into packaging/windows/quillon.ico (16 to 256 pixels) with Qt's
# SVG renderer and ICO writer. Run by hand after the SVG changes; the .ico is kept in the tree
# because the Windows build has no Qt to render it.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat > "$work/ico.cpp" <<'CPP'
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    QIcon icon(argv[1]);
    for (int size : {256, 48, 32, 16})
        if (!icon.pixmap(size, size).toImage().save(QString("%1/%2.png").arg(argv[2]).arg(size), "PNG")) return 1;
    return 0;
}
CPP
g++ -std=c++17 -fPIC "$work/ico.cpp" -o "$work/ico" $(pkg-config --cflags --libs Qt6Gui)
QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work" "$work/ico" packaging/quillon.svg "$work"
# An ICO file whose images are PNG streams (Windows Vista and later read them).
python3 - "$work" packaging/windows/quillon.ico <<'PY'
import struct, sys
work, out = sys.argv[1], sys.argv[2]
sizes = [256, 48, 32, 16]
pngs = [open(f"{work}/{s}.png", "rb").read() for s in sizes]
header = struct.pack("<HHH", 0, 1, len(sizes))
offset = 6 + 16 * len(sizes)
entries = b""
for s, png in zip(sizes, pngs):
    entries += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(png), offset)
    offset += len(png)
open(out, "wb").write(header + entries + b"".join(pngs))
PY
echo "wrote packaging/windows/quillon.ico"
