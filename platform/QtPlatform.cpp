#include "QtPlatform.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QSaveFile>
#include <QThread>
#include <QWidget>
#include <algorithm>

QtOneShotTimer::QtOneShotTimer() {
    Timer.setSingleShot(true);
    Timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&Timer, &QTimer::timeout, [this] { RaiseTick(); });
}

void QtOneShotTimer::Start(int milliseconds) { Timer.start(milliseconds); }

void QtOneShotTimer::Stop() { Timer.stop(); }

bool QtOneShotTimer::IsActive() const { return Timer.isActive(); }

MessageAnswer QtMessageBoxes::Show(const QString& text, MessageIcon icon, MessageButtons buttons,
                                   const QString& title) {
    QMessageBox::Icon boxIcon = QMessageBox::NoIcon;
    if (icon == MessageIcon::Critical) {
        boxIcon = QMessageBox::Critical;
    } else if (icon == MessageIcon::Exclamation) {
        boxIcon = QMessageBox::Warning;
    }
    const QMessageBox::StandardButtons standard =
        buttons == MessageButtons::Ok ? QMessageBox::Ok : (QMessageBox::Retry | QMessageBox::Cancel);
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

void QtPause::Sleep(int milliseconds) { QThread::msleep(static_cast<unsigned long>(milliseconds)); }

FileSystem::ReadResult QtFileSystem::ReadFile(const QString& path) {
    ReadResult result;
    QFile file(path);
    if (!file.exists()) {
        result.Error = QStringLiteral("the file does not exist");
        return result;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        result.Error = file.errorString();
        return result;
    }
    if (file.size() > MaxReadBytes) {
        result.Error = QStringLiteral("the file is larger than %1 bytes").arg(MaxReadBytes);
        return result;
    }
    result.Bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        result.Error = file.errorString();
        result.Bytes.clear();
        return result;
    }
    result.Ok = true;
    return result;
}

QString QtFileSystem::WriteFileWhole(const QString& path, const QByteArray& bytes) {
    // QSaveFile writes a temporary file beside the target and renames it over
    // the target only when everything was written.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return file.errorString();
    }
    if (file.write(bytes) != bytes.size()) {
        const QString error = file.errorString();
        file.cancelWriting();
        return error;
    }
    if (!file.commit()) {
        return file.errorString();
    }
    return {};
}

QStringList QtFileSystem::ListFiles(const QString& folder, const QString& pattern) {
    QDir dir(folder);
    dir.setNameFilters({pattern});  // matched without regard to case
    QStringList names = dir.entryList(QDir::Files, QDir::NoSort);
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        const int folded = a.compare(b, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a < b;
    });
    return names;
}

QString ProgramFolder() { return QCoreApplication::applicationDirPath(); }
