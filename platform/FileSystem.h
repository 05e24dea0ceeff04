#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The files the program reads and writes. Every write replaces a file whole
// or leaves it as it was.
class FileSystem {
public:
    struct ReadResult {
        bool Ok = false;
        QByteArray Bytes;
        QString Error;  // why the file could not be read, when !Ok
    };

    virtual ~FileSystem() = default;
    virtual ReadResult ReadFile(const QString& path) = 0;
    // Writes bytes as the whole new content of path: the old content survives
    // untouched unless the new content was written completely. Returns an
    // empty text on success, otherwise why it failed.
    virtual QString WriteFileWhole(const QString& path, const QByteArray& bytes) = 0;
    // Why WriteFileWhole(path, ...) would fail now, found without changing
    // path; empty when nothing stands in its way that can be seen beforehand.
    virtual QString ProblemWriting(const QString& path) {
        static_cast<void>(path);
        return {};
    }
    // Names (without folder) of the plain files in folder whose names match
    // the wildcard pattern without regard to case, hidden files left out, in
    // ascending name order without regard to case.
    virtual QStringList ListFiles(const QString& folder, const QString& pattern) = 0;
};
