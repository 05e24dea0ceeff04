#pragma once

// The firmware file of an Update: chosen in a folder by the reserved-name
// rule, loaded line by line into the image over the pre-fill pattern, and
// the firmware version taken from its name. The window's Update action and
// the command line share it.

#include <QString>
#include <QStringList>

#include "FileSystem.h"
#include "ProcessState.h"

// The reserved firmware names, in the order in which entries are compared
// with them; when all six lie in the folder, the first of them is used.
const QStringList& ReservedFirmwareNames();

struct FirmwareLoad {
    enum class Problem {
        None,        // the image holds the firmware; the version is taken
        NoFile,      // "无升级文件"
        CannotOpen,  // "打开文件错误"
        Rejected,    // "文档有误"
    };
    Problem Fault = Problem::None;
    QString Path;      // the file chosen (empty with NoFile)
    QString FileName;  // its name without folder
    // For the command line: why the file could not be opened, or which line
    // was rejected (1-based; 0 when the file held no data record at all).
    QString Detail;
    int RejectedLine = 0;

    bool Ok() const { return Fault == Problem::None; }
    // The text the window shows for the problem ("无升级文件", "打开文件错误",
    // "文档有误"); empty when there is none.
    QString Message() const;
};

// Fills image addresses 0 to 65534 with FF, FE, ... 80, repeating every 128
// addresses; address 65535 keeps what it holds.
void PrefillImage(ProcessState& state);

// The Update action's file steps on folder: pre-fill the image, choose the
// file among the *.hex files, load it, and take the version from its name.
FirmwareLoad LoadFirmwareFromFolder(FileSystem& files, const QString& folder, ProcessState& state);

// The same with the file named directly: pre-fill, load, version.
FirmwareLoad LoadFirmwareFile(FileSystem& files, const QString& path, ProcessState& state);

// The firmware version from a file name: the text after the last "_", split
// at ".": part 0 is the major byte, part 1 the minor byte, each a decimal
// whole number from 0 to 255. A part that cannot be taken leaves its byte as
// it was. A folder in front of the name (up to a "\" or "/") is not part of it.
void TakeVersionFromName(const QString& fileName, FirmwareVersionBytes& version);

// "MAJOR.MINOR" with both bytes from 0 to 255; false (version untouched) for
// anything else.
bool ParseVersionText(const QString& text, FirmwareVersionBytes& version);
