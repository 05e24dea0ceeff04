#pragma once

// Window designs are given in twips (1/1440 inch): 15 twips are one pixel at
// 96 dots per inch, which is one device-independent pixel in Qt, so designs
// scale with the screen.

#include <QApplication>
#include <QFont>
#include <QFontMetrics>
#include <QLabel>
#include <QRect>
#include <QWidget>

inline int Twips(int twips) {
    return (twips + 7) / 15;
}

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

// The designs were laid out for an 8-point dialog font: controls without a
// font of their own use the platform's dialog font at that size, so their
// captions fit the places the designs give them.
inline void UseDesignFont() {
    QFont font = QApplication::font();
    if (font.pointSizeF() > 8.0) {
        font.setPointSizeF(8.0);
        QApplication::setFont(font);
    }
}

// A label whose caption is wider than its design place (a platform font
// wider than the design's) grows to the right, where the designs leave room,
// instead of cutting the caption off.
inline void ShowWholeCaption(QLabel* label) {
    const int needed = label->fontMetrics().horizontalAdvance(label->text()) + 2;
    if (needed > label->width()) {
        label->resize(needed, label->height());
    }
}
