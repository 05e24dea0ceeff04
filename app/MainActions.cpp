#include "MainActions.h"

#include "Conversions.h"
#include "ItemReader.h"
#include "RegKeys.h"

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
            problems << QStringLiteral("it holds %1 item(s) where three are needed "
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
                problems << QStringLiteral("model byte %1 (\"%2\") is not a whole number "
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
    const QString stored = keys.GetKeyValue(HkeyLocalMachine, state.SettingsKeyPath,
                                            QStringLiteral("ComPort"));
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
