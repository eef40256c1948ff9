// The program's pictures, drawn at run time: the warning triangle of the abnormal-state
// window and the two notification-area icons.
#pragma once
#include <QColor>
#include <QIcon>
#include <QImage>

namespace qz::toolkit {

// Bitmap 150 (on RGB 240, 240, 240) or 151 (on RGB 236, 233, 216): 64 x 56 pixels, a yellow
// warning triangle with an exclamation mark.
QImage warningPicture(int id);
// Icon 128 (16, 32, 48 and 256 pixels): a dark glossy round badge with a white monogram.
// Icon 129 (16 pixels): the same crossed out in red.
QIcon programIcon(int id);
QImage badge(int size, bool crossed);

}  // namespace qz::toolkit
