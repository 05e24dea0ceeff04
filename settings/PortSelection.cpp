#include "PortSelection.h"

namespace {

struct Captions {
    const char* Title;
    const char* LabelComPort;
    const char* CommandOk;
    const char* CommandCancel;
};

constexpr Captions EnglishCaptions{"Set COM", "Comm Port", "&OK", "&Cancel"};
constexpr Captions ChineseCaptions{"串口设置", "串口", "确定(&O)", "取消(&C)"};

// Entries read "COM" followed by the port number.
constexpr qsizetype EntryPrefixLength = 3;

}  // namespace

QString PortSelection::EntryText(qint16 n) {
    return QStringLiteral("COM") + QString::number(n);
}

bool PortSelection::PortOfEntry(const QString& text, qint16& port) {
    bool ok = false;
    const short number = text.mid(EntryPrefixLength).toShort(&ok);
    if (!ok) {
        return false;
    }
    port = number;
    return true;
}

void PortSelection::ApplyCaptions() {
    const Captions& captions = State.EnglishUi ? EnglishCaptions : ChineseCaptions;
    View.SetTitle(QString::fromUtf8(captions.Title));
    View.SetLabelComPortCaption(QString::fromUtf8(captions.LabelComPort));
    View.SetCommandOkCaption(QString::fromUtf8(captions.CommandOk));
    View.SetCommandCancelCaption(QString::fromUtf8(captions.CommandCancel));
}

QList<ProbedPort> ProbeComPorts(SerialPort& probePort, qint16 highest) {
    QList<ProbedPort> opened;
    for (qint16 n = 1; n <= highest; ++n) {
        probePort.SetPortNumber(n);
        if (probePort.IsOpen()) {
            // Only when closing the previous port failed.
            opened.append({n, true});
            probePort.Close();
            continue;
        }
        if (!probePort.Open()) {
            continue;
        }
        opened.append({n, false});
        probePort.Close();
    }
    return opened;
}

void PortSelection::Form_Load() {
    ApplyCaptions();

    // A port that does not exist or that another program holds fails to open
    // and is left out; nothing is reported.
    int count = 0;
    bool found = false;
    int foundPosition = 0;
    for (const ProbedPort& port : ProbeComPorts(MSComm1, HighestPort)) {
        View.AddItem(EntryText(port.Number));
        ++count;
        // A port that was already open is listed without the preselection test.
        if (!port.WasOpen && port.Number == State.ComPortNumber) {
            found = true;
            foundPosition = count;
        }
    }

    if (count == 0) {
        return;
    }
    if (found) {
        View.SetListIndex(foundPosition - 1);
        return;
    }
    // The port in use is not available: the first listed port takes its
    // place at once, whichever button closes the dialog.
    View.SetListIndex(0);
    qint16 first = 0;
    if (PortOfEntry(View.Text(), first)) {
        State.ComPortNumber = first;
    }
}

void PortSelection::CommandOk_Click() {
    qint16 chosen = 0;
    if (!PortOfEntry(View.Text(), chosen)) {
        // No port could be opened, so there is nothing to take.
        View.Unload(false);
        return;
    }
    State.ComPortNumber = chosen;
    // A failed write passes silently: the choice holds for this run and the
    // next start falls back as if nothing had been stored.
    Settings.SetKeyValue(HkeyLocalMachine, State.SettingsKeyPath, QStringLiteral("ComPort"),
                         QString::number(State.ComPortNumber));
    View.Unload(true);
}

void PortSelection::CommandCancel_Click() {
    View.Unload(false);
}
