#pragma once

// Window designs are given in twips (1/1440 inch): 15 twips are one pixel at
// 96 dots per inch, which is one device-independent pixel in Qt, so designs
// scale with the screen.

#include <QRect>
#include <QWidget>

inline int Twips(int twips) { return (twips + 7) / 15; }

inline QRect TwipsRect(int left, int top, int width, int height) {
    return QRect(Twips(left), Twips(top), Twips(width), Twips(height));
}

// A window of fixed client size with a title bar and a close button only.
inline void MakeFixedWindow(QWidget* window, int widthTwips, int heightTwips) {
    window->setWindowFlags((window->windowFlags() & ~(Qt::WindowMinMaxButtonsHint)) |
                           Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    window->setFixedSize(Twips(widthTwips), Twips(heightTwips));
}
