#include "FormProcess.h"

#include <QKeyEvent>
#include <QShowEvent>

#include "WindowDesign.h"

FormProcess::FormProcess(ProcessState& state, std::unique_ptr<SerialPort> port,
                         MessageBoxes& messages, Pause& pause, QWidget* parent)
    : QDialog(parent),
      State(state),
      MSComm1(std::move(port)),
      Logic(state, *MSComm1, Timer1, QuietTimer, messages, pause, *this) {
    setObjectName(QStringLiteral("FormProcess"));
    setWindowTitle(QStringLiteral("Form1"));
    setModal(true);
    MakeFixedWindow(this, 4680, 1680);

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setOrientation(Qt::Horizontal);
    ProgressBar1->setRange(0, ProgressSteps);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setGeometry(TwipsRect(240, 360, 4215, 615));

    LabelProcess = new QLabel(QStringLiteral("Complete:0%"), this);
    LabelProcess->setObjectName(QStringLiteral("LabelProcess"));
    LabelProcess->setGeometry(TwipsRect(1440, 1200, 1335, 255));

    LabelTime = new QLabel(QStringLiteral("Label1"), this);
    LabelTime->setObjectName(QStringLiteral("LabelTime"));
    LabelTime->setGeometry(TwipsRect(2880, 1200, 615, 375));
    LabelTime->hide();
}

FormProcess::~FormProcess() {
    Logic.Form_Unload();
}

void FormProcess::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (Logic.IsLoaded() || LoadQueued) {
        return;
    }
    // The load handler may show a message box or close the window at once:
    // it runs from the event loop, not from inside the showing.
    LoadQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            LoadQueued = false;
            if (isVisible() && !Logic.IsLoaded()) {
                Logic.Form_Load();
            }
        },
        Qt::QueuedConnection);
}

void FormProcess::done(int result) {
    Logic.Form_Unload();
    QDialog::done(result);
}

// The window has no Cancel button: Esc does not end a session, only the close
// box does.
void FormProcess::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void FormProcess::SetCaption(const QString& text) {
    setWindowTitle(text);
}

void FormProcess::CloseWindow() {
    done(State.SessionSucceeded ? Accepted : Rejected);
}

void FormProcess::SetProgress(float fraction) {
    ProgressBar1->setValue(qRound(qBound(0.0f, fraction, 1.0f) * ProgressSteps));
}

void FormProcess::SetProgressText(const QString& text) {
    LabelProcess->setText(text);
}
