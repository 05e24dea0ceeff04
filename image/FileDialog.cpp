#include "FileDialog.h"

QString ShowFileDialog(FileDialogs& dialogs, MessageBoxes& messages, const QString& appTitle,
                       const QString& mode, const QString& title, const QString& initialName) {
    FileDialogRequest request;
    request.OpenDialog = mode.compare(QStringLiteral("OPEN"), Qt::CaseInsensitive) == 0;
    request.Title = title;
    request.InitialName = initialName;
    // The labels are the same in both UI languages.
    request.Filters = {{QStringLiteral("烧录文件(*.hex)"), QStringLiteral("*.hex")},
                       {QStringLiteral("所有文件(*.*)"), QStringLiteral("*.*")}};
    if (!request.OpenDialog) {
        request.DefaultExtension = QStringLiteral("hex");
    }

    const FileDialogResult result = dialogs.Show(request);
    switch (result.Result) {
        case FileDialogResult::Outcome::Chosen:
            // The path comes back whole, however long: a shortened path would
            // name another file.
            return result.Path;
        case FileDialogResult::Outcome::Cancelled:
            return {};
        case FileDialogResult::Outcome::Failed:
            break;
    }
    messages.Show(QStringLiteral("未知原因导致操作失败！"), MessageIcon::Critical,
                  MessageButtons::Ok, appTitle);
    return {};
}
