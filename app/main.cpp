#include <QApplication>
#include <cstdio>

#include "Form1.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    Form1 window(Globals());
    if (!window.Load()) {
        std::fprintf(stderr, "%s\n", window.StartupProblem().toLocal8Bit().constData());
        return 1;
    }
    window.show();
    return application.exec();
}
