#pragma once

#include <QList>
#include <QString>

struct FileDialogFilter {
    QString Label;    // "烧录文件(*.hex)"
    QString Pattern;  // "*.hex"
};

struct FileDialogRequest {
    bool OpenDialog = false;  // true: open-file dialog, false: save-file dialog
    QString Title;
    QString InitialName;
    QList<FileDialogFilter> Filters;  // the first is shown first
    QString DefaultExtension;         // appended after a dot to a name typed without one
    // Open: the chosen file must exist. Both: its folder must exist and no
    // read-only check box is offered. Save: an existing file is overwritten
    // only after the operator confirms.
};

struct FileDialogResult {
    enum class Outcome { Chosen, Cancelled, Failed } Result = Outcome::Cancelled;
    QString Path;  // full path when Chosen
};

class FileDialogs {
public:
    virtual ~FileDialogs() = default;
    virtual FileDialogResult Show(const FileDialogRequest& request) = 0;
};
