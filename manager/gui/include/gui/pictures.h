// The program's pictures, by their resource ids: icons 101 (program), 140 (closed vault), 141
// (open vault); bitmaps 129, 130, 134 (the three big buttons, on white), 149 (product picture).
// Drawn from SVG compiled into the program.
#pragma once

#include <QIcon>
#include <QImage>
#include <QSize>

namespace gui {

// The picture rendered at `size` (its own size when empty); a null image for an unknown id.
QImage LoadBitmap(int id, QSize size = QSize());
// The icon at the usual sizes (16 to 64 pixels); a null icon for an unknown id.
QIcon LoadIcon(int id);

} // namespace gui
