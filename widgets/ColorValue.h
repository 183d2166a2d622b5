#pragma once
// Colour values as the settings file and the windows keep them: 24-bit
// numbers with red in the low byte, green in the middle byte and blue in the
// high byte (0x00BBGGRR). This is the one place where such a value meets
// QColor/QRgb, both ways; the byte above blue is ignored on the way to Qt and
// 0 on the way back.
//
// Header only; the palette look-ups read the application's palette and belong
// to the GUI thread, the rest is constant arithmetic.

#include <QApplication>
#include <QColor>
#include <QPalette>
#include <QRgb>

#include <cstdint>

using TColor = std::int32_t;

// The state colour of the main window for "on" and "open".
inline constexpr TColor ColorGreen = 0x00CC00;
inline constexpr TColor ColorBlack = 0x000000;
inline constexpr TColor ColorWhite = 0xFFFFFF;
inline constexpr TColor ColorYellow = 0x00FFFF;

// The background of the header bars and port panels. Qt's palette has no role
// for the inactive caption of the classic colour scheme, so the window uses
// this fixed pale grey-blue (red 191, green 205, blue 219), the inactive
// caption colour of the common Windows scheme; black and green text both
// read well on it.
inline constexpr TColor InactiveCaptionColor = 0xDBCDBF;

inline constexpr int RedOf(TColor color) { return color & 0xFF; }
inline constexpr int GreenOf(TColor color) { return (color >> 8) & 0xFF; }
inline constexpr int BlueOf(TColor color) { return (color >> 16) & 0xFF; }

inline constexpr TColor ColorFromRgb(int red, int green, int blue) {
    return (red & 0xFF) | ((green & 0xFF) << 8) | ((blue & 0xFF) << 16);
}

inline constexpr QRgb ColorToQRgb(TColor color) {
    return qRgb(RedOf(color), GreenOf(color), BlueOf(color));
}

inline QColor ColorToQColor(TColor color) { return QColor(ColorToQRgb(color)); }

inline TColor QColorToColor(const QColor& color) {
    return ColorFromRgb(color.red(), color.green(), color.blue());
}

// The platform's button face (the "off" state colour) and window colour (the
// background of an edit), from the application's palette.
inline TColor ButtonFaceColor() { return QColorToColor(QApplication::palette().color(QPalette::Button)); }
inline TColor WindowColor() { return QColorToColor(QApplication::palette().color(QPalette::Base)); }
