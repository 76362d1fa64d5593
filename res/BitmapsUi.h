#pragma once
#include <QIcon>
#include <QPixmap>

// The program's pictures, drawn rather than shipped as files.
QPixmap LoadBitmapResource(int id);  // 144, 154, 155; a null pixmap otherwise
QIcon LoadIconResource(int id);      // 128
