#pragma once
// The main window's pictures, drawn in code so that nothing but this source
// makes them: the settings display behind each port's summary (178 x 22), the
// About picture (65 x 65) and the glyph of the input box's side button.
// GUI thread only (QPixmap).

#include <QIcon>
#include <QPixmap>

QPixmap SettingsDisplayPicture();
QPixmap AboutPicture();
QIcon LoadFileGlyph();
