#include "QtMessageBoxes.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>

namespace {
QString RecordPath;
}  // namespace

void QtMessageBoxes::RecordMessagesIn(const QString& path) {
    RecordPath = path;
}

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
    if (!RecordPath.isEmpty()) {
        QFile record(RecordPath);
        if (record.open(QIODevice::WriteOnly | QIODevice::Append)) {
            record.write((title + u'\t' + text + u'\n').toUtf8());
        }
    }
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
