#include "MainActions.h"

#include "Conversions.h"
#include "IntelHexReader.h"
#include "ItemReader.h"
#include "RegKeys.h"
#include "SaveAction.h"

const QStringList MainActions::ReservedNames = {
    QStringLiteral("TempFile_1.03.hex"), QStringLiteral("TempFile_1.00.hex"),
    QStringLiteral("TempFile_1.01.hex"), QStringLiteral("TempFile_1.02.hex"),
    QStringLiteral("TempFile_1.04.hex"), QStringLiteral("TempFile_1.05.hex")};

MainActions::MainActions(const MainServices& services, MainView& view)
    : Services(services), View(view) {}

bool MainActions::Form_Load() {
    ProcessState& state = Services.State;
    const QString configPath = Services.ProgramFolder + QStringLiteral("/Config.txt");
    // Every step runs even when an earlier one failed; the failures are
    // collected and decide at the end whether the window may be shown.
    QStringList problems;

    // Steps 1 and 2: open the file and read its three items.
    QByteArray items[3];
    const FileSystem::ReadResult file = Services.Files.ReadFile(configPath);
    if (!file.Ok) {
        problems << QStringLiteral("it cannot be read (%1)").arg(file.Error);
    } else {
        ItemReader reader(file.Bytes);
        int itemsRead = 0;
        while (itemsRead < 3 && reader.ReadItem(items[itemsRead])) {
            ++itemsRead;
        }
        if (itemsRead < 3) {
            problems << QStringLiteral(
                            "it holds %1 item(s) where three are needed "
                            "(model bytes, vendor name, title)")
                            .arg(itemsRead);
        }
    }
    const QString modelItem = QString::fromLocal8Bit(items[0]);
    const QString vendorItem = QString::fromLocal8Bit(items[1]);
    const QString titleItem = QString::fromLocal8Bit(items[2]);

    // Steps 3 and 4: the title and the window caption.
    state.AppTitle = titleItem.isEmpty() ? QStringLiteral("Update") : titleItem;
    View.SetCaption(state.AppTitle);

    // Step 5: the model bytes, item 1 split at every ":".
    if (file.Ok) {
        const QStringList parts = modelItem.split(u':');
        for (int index = 0; index < 3; ++index) {
            if (index >= parts.size()) {
                problems << QStringLiteral("model byte %1 is missing from \"%2\"")
                                .arg(index)
                                .arg(modelItem);
            } else if (!ParseByteText(parts[index], state.ModelId[index])) {
                problems << QStringLiteral(
                                "model byte %1 (\"%2\") is not a whole number "
                                "from 0 to 255")
                                .arg(index)
                                .arg(parts[index]);
            }
        }
    }

    // Step 6: where the settings are stored.
    state.SettingsKeyPath = QStringLiteral("SoftWare\\") + vendorItem + QStringLiteral("\\Update");

    // Step 7: a configuration that cannot be used ends the program here.
    if (!problems.isEmpty()) {
        Problem = QStringLiteral("Cannot start: %1: %2.")
                      .arg(configPath, problems.join(QStringLiteral("; ")));
        if (Services.ReportLine) {
            Services.ReportLine(Problem);
        }
        Services.Messages.Show(Problem, MessageIcon::Critical, MessageButtons::Ok, state.AppTitle);
        return false;
    }

    // Step 8: the stored COM port; port 1 when nothing is stored.
    RegKeys keys(Services.Store);
    const QString stored =
        keys.GetKeyValue(HkeyLocalMachine, state.SettingsKeyPath, QStringLiteral("ComPort"));
    if (stored.isEmpty()) {
        state.ComPortNumber = 1;
    } else {
        ConvertComPortText(stored, state.ComPortNumber);  // keeps the old value when too large
    }

    // Steps 9 and 10.
    state.EnglishUi = true;
    View.SetVersionLabel(QStringLiteral("Version:") + QLatin1String(ProgramVersion));
    return true;
}

void MainActions::Command1_Click() {
    ProcessState& state = Services.State;
    const QString fixedTitle = QStringLiteral("Update");

    // 1. Pre-fill the image: FF, FE, ... 80, repeating every 128 addresses.
    //    Address 65535 keeps what it holds.
    for (int a = 0; a < ImageSize - 1; ++a) {
        state.FirmwareImage[a] = static_cast<std::uint8_t>(0xFF ^ (a & 0x7F));
    }

    // 2 to 4. Choose the firmware file among the *.hex files of the program folder.
    const QStringList File1 =
        Services.Files.ListFiles(Services.ProgramFolder, QStringLiteral("*.hex"));
    int reserved = 0;
    for (const QString& entry : File1) {
        if (ReservedNames.contains(entry)) {
            ++reserved;
        }
    }
    QString fileName;
    if (reserved == ReservedNames.size()) {
        fileName = ReservedNames.first();
    } else if (!File1.isEmpty()) {
        fileName = File1.first();
    } else {
        Services.Messages.Show(QStringLiteral("无升级文件"), MessageIcon::Critical,
                               MessageButtons::Ok, fixedTitle);
        return;
    }
    const QString path = Services.ProgramFolder + QLatin1Char('/') + fileName;

    // 5. Read the file.
    const FileSystem::ReadResult file = Services.Files.ReadFile(path);
    if (!file.Ok) {
        Services.Messages.Show(QStringLiteral("打开文件错误"), MessageIcon::Critical,
                               MessageButtons::Ok, fixedTitle);
        return;
    }

    // 6 to 9. Hand the lines to the reader until one is rejected.
    IntelHexReader reader(state);
    reader.FirstRecordPending = true;
    ItemReader items(file.Bytes);
    bool rejected = false;
    QByteArray line;
    while (!items.AtEnd() && !rejected) {
        items.ReadItem(line);
        rejected = !reader.AnalyseHexLine(line);
    }
    // A file without a single data record would leave the bounds of an
    // earlier file or read in force and flash the pre-fill pattern over the
    // device's firmware: it is as faulty as a rejected line.
    if (rejected || reader.FirstRecordPending) {
        Services.Messages.Show(QStringLiteral("文档有误"), MessageIcon::None, MessageButtons::Ok,
                               state.AppTitle);
        return;
    }

    // 10. The version from the name: the text after the last "_", split at
    //     ".", gives the major and the minor byte; a part that cannot be
    //     taken leaves its byte as it was.
    const QString versionText =
        fileName.section(QLatin1Char('\\'), -1).section(QLatin1Char('_'), -1);
    const QStringList parts = versionText.split(QLatin1Char('.'));
    if (parts.size() > 0) {
        ParseByteText(parts[0], state.FirmwareVersion.Major);
    }
    if (parts.size() > 1) {
        ParseByteText(parts[1], state.FirmwareVersion.Minor);
    }

    // 11 and 12. The session, then its result.
    state.SessionModeUpdate = true;
    View.ShowSessionWindow();
    if (state.SessionSucceeded) {
        Services.Messages.Show(QStringLiteral("Successful"), MessageIcon::Exclamation,
                               MessageButtons::Ok, state.AppTitle);
    }
}

void MainActions::CommandRead_Click() {
    ProcessState& state = Services.State;
    state.ImageHighestAddress = 0x7FFF;
    state.ImageLowestAddress = 0;
    state.SessionModeReadFirmware = true;
    View.ShowSessionWindow();
    if (state.SessionSucceeded) {
        Services.Messages.Show(QStringLiteral("读取成功"), MessageIcon::Exclamation,
                               MessageButtons::Ok, state.AppTitle);
    }
}

void MainActions::CommandCom_Click() {
    View.ShowPortDialog();
}

void MainActions::CommandSave_Click() {
    RunSaveAction(Services.State, Services.Dialogs, Services.Files, Services.Messages);
}
