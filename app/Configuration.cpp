#include "Configuration.h"

#include <QStringList>

#include "Conversions.h"
#include "ItemReader.h"
#include "RegKeys.h"

QString ParseModelText(const QString& text, std::array<std::uint8_t, 3>& model) {
    QStringList problems;
    const QStringList parts = text.split(u':');
    for (int index = 0; index < 3; ++index) {
        if (index >= parts.size()) {
            problems << QStringLiteral("model byte %1 is missing from \"%2\"").arg(index).arg(text);
        } else if (!ParseByteText(parts[index], model[index])) {
            problems << QStringLiteral("model byte %1 (\"%2\") is not a whole number from 0 to 255")
                            .arg(index)
                            .arg(parts[index]);
        }
    }
    return problems.join(QStringLiteral("; "));
}

QString LoadConfiguration(FileSystem& files, const QString& folder, ProcessState& state) {
    const QString configPath = folder + QStringLiteral("/Config.txt");
    // Every step runs even when an earlier one failed; the failures are
    // collected and decide at the end.
    QStringList problems;

    // Open the file and read its three items.
    QByteArray items[3];
    const FileSystem::ReadResult file = files.ReadFile(configPath);
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

    state.AppTitle = titleItem.isEmpty() ? QStringLiteral("Update") : titleItem;

    // The model bytes, item 1 split at every ":".
    if (file.Ok) {
        const QString modelProblem = ParseModelText(modelItem, state.ModelId);
        if (!modelProblem.isEmpty()) {
            problems << modelProblem;
        }
    }

    state.SettingsKeyPath = QStringLiteral("SoftWare\\") + vendorItem + QStringLiteral("\\Update");

    if (problems.isEmpty()) {
        return {};
    }
    return QStringLiteral("Cannot start: %1: %2.")
        .arg(configPath, problems.join(QStringLiteral("; ")));
}

void LoadStoredComPort(KeyValueBackend& store, ProcessState& state) {
    RegKeys keys(store);
    const QString stored =
        keys.GetKeyValue(HkeyLocalMachine, state.SettingsKeyPath, QStringLiteral("ComPort"));
    if (stored.isEmpty()) {
        state.ComPortNumber = 1;
    } else {
        ConvertComPortText(stored, state.ComPortNumber);  // keeps the old value when too large
    }
}
