#include "SaveAction.h"

#include "FileDialog.h"
#include "IntelHexWriter.h"

void RunSaveAction(ProcessState& state, FileDialogs& dialogs, FileSystem& files,
                   MessageBoxes& messages) {
    const QString path = ShowFileDialog(dialogs, messages, state.AppTitle, QStringLiteral("Save"),
                                        QStringLiteral("保存"), QString());
    if (path.isEmpty()) {
        return;
    }
    const QString error = files.WriteFileWhole(path, BuildSaveFile(state));
    if (error.isEmpty()) {
        return;
    }
    const QString text = state.EnglishUi ? QStringLiteral("Cannot write the file %1: %2")
                                         : QStringLiteral("无法写入文件 %1：%2");
    messages.Show(text.arg(path, error), MessageIcon::Critical, MessageButtons::Ok, state.AppTitle);
}
