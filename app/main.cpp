#include <QApplication>

#include "Form1.h"
#include "WindowDesign.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    EndOnTerminationSignals();
    UseDesignFont();
    Form1 window(Globals(), ProgramFolder());
    if (!window.Load()) {
        return 1;  // the operator has been told why
    }
    window.show();
    return application.exec();
}
