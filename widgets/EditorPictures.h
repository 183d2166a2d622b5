#pragma once
// The pictures of the script editor's toolbar, drawn in code (16 x 16): a
// blank page, an open folder, a diskette, a printer, two pages (copy) and a
// clipboard (paste). GUI thread only (QPixmap).

#include <QIcon>

QIcon NewFilePicture();
QIcon OpenFilePicture();
QIcon SaveFilePicture();
QIcon PrintPicture();
QIcon CopyPicture();
QIcon PastePicture();
