#pragma once

// The main window's handlers, free of widgets: start-up, the Update action,
// the Read action, the COM command and the Save action. Form1 owns one and
// forwards its events to it.

#include <QString>
#include <QStringList>
#include <functional>

#include "Configuration.h"
#include "FileDialogs.h"
#include "FileSystem.h"
#include "KeyValueBackend.h"
#include "MessageBoxes.h"
#include "ProcessState.h"

// What the handlers need of the main window itself.
class MainView {
public:
    virtual ~MainView() = default;
    virtual void SetCaption(const QString& caption) = 0;
    virtual void SetVersionLabel(const QString& text) = 0;
    // Shows the session window modally; returns when it has closed.
    virtual void ShowSessionWindow() = 0;
    // Shows the port selection dialog modally; returns when it has closed.
    virtual void ShowPortDialog() = 0;
};

struct MainServices {
    ProcessState& State;
    FileSystem& Files;
    KeyValueBackend& Store;
    MessageBoxes& Messages;
    FileDialogs& Dialogs;
    QString ProgramFolder;
    // Writes one line for whoever started the program (standard error).
    std::function<void(const QString&)> ReportLine;
};

class MainActions {
public:
    MainActions(const MainServices& services, MainView& view);

    // Start-up: reads Config.txt and the stored port. True when the main
    // window may be shown. Otherwise the operator has been told what is wrong
    // with Config.txt (StartupProblem() holds the same text) and the program
    // ends without showing its window.
    bool Form_Load();
    QString StartupProblem() const { return Problem; }

    // Update: loads the firmware file of the program folder into the image
    // and runs an Update session; "Successful" when it succeeded.
    void Command1_Click();
    // Read: reads device memory 0x0000 to 0x7FFF into the image.
    void CommandRead_Click();
    // COM: the port selection dialog.
    void CommandCom_Click();
    // Save: writes the lower half of the image to a HEX file the operator names.
    void CommandSave_Click();

    // The reserved firmware names; when all six lie in the program folder,
    // the first of them is used.
    static const QStringList ReservedNames;

private:
    MainServices Services;
    MainView& View;
    QString Problem;
};
