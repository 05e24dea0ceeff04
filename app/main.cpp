#include <QApplication>
#include <QIcon>

#include "Form1.h"
#include "WindowDesign.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/fwloader-256.png")));
    QGuiApplication::setDesktopFileName(QStringLiteral("fwloader"));
    EndOnTerminationSignals();
    // Tests of the whole program follow its messages here (tests/windows).
    QtMessageBoxes::RecordMessagesIn(qEnvironmentVariable("FWLOADER_TEST_MESSAGE_LOG"));
    UseDesignFont();
    Form1 window(Globals(), ProgramFolder());
    if (!window.Load()) {
        return 1;  // the operator has been told why
    }
    window.show();
    return application.exec();
}
