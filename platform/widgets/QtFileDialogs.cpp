#include "QtFileDialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStringList>

namespace {

// Keeps the dialog open while the chosen file's folder does not exist.
class ExistingFolderFileDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

protected:
    void accept() override {
        const QStringList files = selectedFiles();
        if (!files.isEmpty() && !QFileInfo(files.first()).absoluteDir().exists()) {
            return;
        }
        QFileDialog::accept();
    }
};

}  // namespace

FileDialogResult QtFileDialogs::Show(const FileDialogRequest& request) {
    ExistingFolderFileDialog dialog(nullptr, request.Title);
    dialog.setAcceptMode(request.OpenDialog ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    // Open: the file must exist. Save: Qt asks before an existing file is
    // overwritten, and offers no read-only check box in either.
    dialog.setFileMode(request.OpenDialog ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    QStringList filters;
    for (const FileDialogFilter& filter : request.Filters) {
        // Qt takes the patterns from the parentheses of the label.
        const QString withPattern = QStringLiteral("(%1)").arg(filter.Pattern);
        filters.append(filter.Label.contains(withPattern) ? filter.Label
                                                          : filter.Label + ' ' + withPattern);
    }
    dialog.setNameFilters(filters);
    if (!filters.isEmpty()) {
        dialog.selectNameFilter(filters.first());
    }
    if (!request.OpenDialog && !request.DefaultExtension.isEmpty()) {
        dialog.setDefaultSuffix(request.DefaultExtension);
    }
    if (!request.InitialName.isEmpty()) {
        dialog.selectFile(request.InitialName);
    }

    FileDialogResult result;
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
        result.Result = FileDialogResult::Outcome::Chosen;
        result.Path = QDir::toNativeSeparators(dialog.selectedFiles().first());
    } else {
        result.Result = FileDialogResult::Outcome::Cancelled;
    }
    return result;
}
