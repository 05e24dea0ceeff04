#include "QtMessageBoxes.h"

#include <QApplication>
#include <QMessageBox>

MessageAnswer QtMessageBoxes::Show(const QString& text, MessageIcon icon, MessageButtons buttons,
                                   const QString& title) {
    QMessageBox::Icon boxIcon = QMessageBox::NoIcon;
    if (icon == MessageIcon::Critical) {
        boxIcon = QMessageBox::Critical;
    } else if (icon == MessageIcon::Exclamation) {
        boxIcon = QMessageBox::Warning;
    }
    const QMessageBox::StandardButtons standard = buttons == MessageButtons::Ok
                                                      ? QMessageBox::Ok
                                                      : (QMessageBox::Retry | QMessageBox::Cancel);
    QMessageBox box(boxIcon, title, text, standard, QApplication::activeWindow());
    box.setWindowModality(Qt::ApplicationModal);
    const int answer = box.exec();
    if (answer == QMessageBox::Retry) {
        return MessageAnswer::Retry;
    }
    if (answer == QMessageBox::Ok) {
        return MessageAnswer::Ok;
    }
    return MessageAnswer::Cancel;
}
