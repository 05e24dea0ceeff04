#include "FormComPort.h"

#include <QKeyEvent>

#include "WindowDesign.h"

namespace {

// Neither button is pressed by Enter: only a click, Space or its access key
// presses it.
QPushButton* MakeButton(QWidget* parent, const QString& text, const QRect& place) {
    auto* button = new QPushButton(text, parent);
    button->setGeometry(place);
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

// Stands in when no probe port is given: no port opens, so none is listed.
class NoSerialPort : public SerialPort {
public:
    void SetPortNumber(qint16) override {}
    bool SetSettings(const QString&) override { return false; }
    void SetBinaryInput() override {}
    void SetReceiveThreshold(int) override {}
    bool IsOpen() const override { return false; }
    bool Open() override { return false; }
    void Close() override {}
    bool Write(const QByteArray&) override { return false; }
    QByteArray ReadAll() override { return {}; }
    QByteArray DiscardInput() override { return {}; }
};

}  // namespace

FormComPort::FormComPort(ProcessState& state, KeyValueBackend& store,
                         std::unique_ptr<SerialPort> probePort, QWidget* parent)
    : QDialog(parent),
      MSComm1(probePort ? std::move(probePort) : std::make_unique<NoSerialPort>()),
      Handlers(state, *MSComm1, store, *this) {
    setObjectName(QStringLiteral("FormComPort"));
    setWindowTitle(QStringLiteral("COM Select"));
    // A dialog that is modal to its owner and centred on it when shown. No
    // skip-taskbar hint is set; whether a taskbar lists an owned dialog is
    // left to the window manager.
    MakeFixedWindow(this, 3885, 1755);
    setSizeGripEnabled(false);

    LabelComPort = new QLabel(QStringLiteral("COM"), this);
    LabelComPort->setObjectName(QStringLiteral("LabelComPort"));
    LabelComPort->setGeometry(TwipsRect(840, 480, 855, 255));

    ComboComPort = new QComboBox(this);
    ComboComPort->setObjectName(QStringLiteral("ComboComPort"));
    ComboComPort->setEditable(false);
    ComboComPort->setGeometry(TwipsRect(1800, 480, 1215, 300));

    CommandOk = MakeButton(this, QStringLiteral("&OK"), TwipsRect(600, 1080, 1095, 375));
    CommandOk->setObjectName(QStringLiteral("CommandOk"));
    CommandCancel = MakeButton(this, QStringLiteral("&Cancel"), TwipsRect(1920, 1080, 1095, 375));
    CommandCancel->setObjectName(QStringLiteral("CommandCancel"));

    setTabOrder(ComboComPort, CommandOk);
    setTabOrder(CommandOk, CommandCancel);

    connect(CommandOk, &QPushButton::clicked, this, [this] { Handlers.CommandOk_Click(); });
    connect(CommandCancel, &QPushButton::clicked, this, [this] { Handlers.CommandCancel_Click(); });

    Handlers.Form_Load();
    ComboComPort->setFocus(Qt::OtherFocusReason);
}

FormComPort::~FormComPort() = default;

void FormComPort::keyPressEvent(QKeyEvent* event) {
    // Neither button is the cancel button, so Escape, which a dialog takes
    // for Cancel, does nothing here.
    if (event->matches(QKeySequence::Cancel)) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void FormComPort::SetTitle(const QString& text) {
    setWindowTitle(text);
}

void FormComPort::SetLabelComPortCaption(const QString& text) {
    LabelComPort->setText(text);
    ShowWholeCaption(LabelComPort);
}

void FormComPort::SetCommandOkCaption(const QString& text) {
    CommandOk->setText(text);
}

void FormComPort::SetCommandCancelCaption(const QString& text) {
    CommandCancel->setText(text);
}

void FormComPort::AddItem(const QString& text) {
    ComboComPort->addItem(text);
}

void FormComPort::SetListIndex(int index) {
    ComboComPort->setCurrentIndex(index);
}

QString FormComPort::Text() const {
    return ComboComPort->currentIndex() < 0 ? QString() : ComboComPort->currentText();
}

void FormComPort::Unload(bool accepted) {
    if (accepted) {
        accept();
    } else {
        reject();
    }
}
