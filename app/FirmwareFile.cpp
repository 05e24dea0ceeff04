#include "FirmwareFile.h"

#include "Conversions.h"
#include "IntelHexReader.h"
#include "ItemReader.h"

const QStringList& ReservedFirmwareNames() {
    static const QStringList names = {
        QStringLiteral("TempFile_1.03.hex"), QStringLiteral("TempFile_1.00.hex"),
        QStringLiteral("TempFile_1.01.hex"), QStringLiteral("TempFile_1.02.hex"),
        QStringLiteral("TempFile_1.04.hex"), QStringLiteral("TempFile_1.05.hex")};
    return names;
}

QString FirmwareLoad::Message() const {
    switch (Fault) {
        case Problem::NoFile:
            return QStringLiteral("无升级文件");
        case Problem::CannotOpen:
            return QStringLiteral("打开文件错误");
        case Problem::Rejected:
            return QStringLiteral("文档有误");
        case Problem::None:
            break;
    }
    return {};
}

void PrefillImage(ProcessState& state) {
    for (int a = 0; a < ImageSize - 1; ++a) {
        state.FirmwareImage[a] = static_cast<std::uint8_t>(0xFF ^ (a & 0x7F));
    }
}

namespace {

// Reads the chosen file into the image and takes the version from its name.
void LoadChosenFile(FileSystem& files, ProcessState& state, FirmwareLoad& load) {
    const FileSystem::ReadResult file = files.ReadFile(load.Path);
    if (!file.Ok) {
        load.Fault = FirmwareLoad::Problem::CannotOpen;
        load.Detail = file.Error;
        return;
    }

    // Hand the lines to the reader until one is rejected.
    IntelHexReader reader(state);
    reader.FirstRecordPending = true;
    ItemReader items(file.Bytes);
    bool rejected = false;
    int lineNumber = 0;
    QByteArray line;
    while (!items.AtEnd() && !rejected) {
        items.ReadItem(line);
        ++lineNumber;
        rejected = !reader.AnalyseHexLine(line);
    }
    // A file without a single data record would leave the bounds of an
    // earlier file or read in force and flash the pre-fill pattern over the
    // device's firmware: it is as faulty as a rejected line.
    if (rejected || reader.FirstRecordPending) {
        load.Fault = FirmwareLoad::Problem::Rejected;
        load.RejectedLine = rejected ? lineNumber : 0;
        load.Detail = rejected ? QStringLiteral("line %1 is rejected").arg(lineNumber)
                               : QStringLiteral("it holds no data record");
        return;
    }
    TakeVersionFromName(load.FileName, state.FirmwareVersion);
}

}  // namespace

FirmwareLoad LoadFirmwareFromFolder(FileSystem& files, const QString& folder, ProcessState& state) {
    FirmwareLoad load;
    PrefillImage(state);

    const QStringList File1 = files.ListFiles(folder, QStringLiteral("*.hex"));
    const QStringList& reservedNames = ReservedFirmwareNames();
    int reserved = 0;
    for (const QString& entry : File1) {
        if (reservedNames.contains(entry)) {
            ++reserved;
        }
    }
    if (reserved == reservedNames.size()) {
        load.FileName = reservedNames.first();
    } else if (!File1.isEmpty()) {
        load.FileName = File1.first();
    } else {
        load.Fault = FirmwareLoad::Problem::NoFile;
        load.Detail = QStringLiteral("no *.hex file in %1").arg(folder);
        return load;
    }
    load.Path = folder + QLatin1Char('/') + load.FileName;
    LoadChosenFile(files, state, load);
    return load;
}

FirmwareLoad LoadFirmwareFile(FileSystem& files, const QString& path, ProcessState& state) {
    FirmwareLoad load;
    PrefillImage(state);
    load.Path = path;
    load.FileName = path.section(QLatin1Char('/'), -1);
    LoadChosenFile(files, state, load);
    return load;
}

void TakeVersionFromName(const QString& fileName, FirmwareVersionBytes& version) {
    const QString versionText = fileName.section(QLatin1Char('/'), -1)
                                    .section(QLatin1Char('\\'), -1)
                                    .section(QLatin1Char('_'), -1);
    const QStringList parts = versionText.split(QLatin1Char('.'));
    if (parts.size() > 0) {
        ParseByteText(parts[0], version.Major);
    }
    if (parts.size() > 1) {
        ParseByteText(parts[1], version.Minor);
    }
}

bool ParseVersionText(const QString& text, FirmwareVersionBytes& version) {
    const QStringList parts = text.split(QLatin1Char('.'));
    FirmwareVersionBytes parsed;
    if (parts.size() != 2 || !ParseByteText(parts[0], parsed.Major) ||
        !ParseByteText(parts[1], parsed.Minor)) {
        return false;
    }
    version = parsed;
    return true;
}
