#pragma once

// The handlers of the port selection dialog, free of widgets. The dialog
// probes COM1 to COM99 when it loads, lists the ports that open, preselects
// the port in use and, on OK, takes the chosen port and stores it for the
// next start.

#include <QList>
#include <QString>

#include "KeyValueBackend.h"
#include "ProcessState.h"
#include "RegKeys.h"
#include "SerialPort.h"

// One port that opened in the probe. WasOpen: the port reported itself open
// before the probe opened it (only when closing an earlier port failed); it
// is listed and closed, but never taken as the port in use.
struct ProbedPort {
    qint16 Number = 0;
    bool WasOpen = false;
};

// Probes COM1 to highest in ascending order with probePort, as the port
// selection dialog does: each port that opens (or is open) is listed and
// closed again; a port that does not exist or that another program holds
// fails to open and is left out, without a word. The port is never written,
// read or reconfigured.
QList<ProbedPort> ProbeComPorts(SerialPort& probePort, qint16 highest);

// What the handlers need of the dialog's window and controls.
class PortSelectionView {
public:
    virtual ~PortSelectionView() = default;

    virtual void SetTitle(const QString& text) = 0;
    virtual void SetLabelComPortCaption(const QString& text) = 0;
    virtual void SetCommandOkCaption(const QString& text) = 0;
    virtual void SetCommandCancelCaption(const QString& text) = 0;

    // ComboComPort: append an entry, select an entry by 0-based index, the
    // selected entry's text (empty when nothing is selected).
    virtual void AddItem(const QString& text) = 0;
    virtual void SetListIndex(int index) = 0;
    virtual QString Text() const = 0;

    // Closes the dialog; accepted is true when OK took a port.
    virtual void Unload(bool accepted) = 0;
};

class PortSelection {
public:
    // Ports are probed from 1 to this number.
    static constexpr qint16 HighestPort = 99;

    // probePort is used only to select, open and close ports; it is opened
    // with its own design settings and never written, read or reconfigured.
    PortSelection(ProcessState& state, SerialPort& probePort, KeyValueBackend& store,
                  PortSelectionView& view)
        : State(state), MSComm1(probePort), Settings(store), View(view) {}

    // Captions, the probe and the preselection; runs before the dialog shows.
    void Form_Load();
    // Takes the selected port into ComPortNumber, stores it and closes. With
    // an empty list it closes and keeps ComPortNumber and the stored value.
    void CommandOk_Click();
    // Closes; ComPortNumber and the stored value stay as they are.
    void CommandCancel_Click();

    // The entry text of port n ("COM12").
    static QString EntryText(qint16 n);

private:
    void ApplyCaptions();
    // The port number in an entry text, after its "COM"; false when there is
    // none (no entry selected).
    static bool PortOfEntry(const QString& text, qint16& port);

    ProcessState& State;
    SerialPort& MSComm1;
    RegKeys Settings;
    PortSelectionView& View;
};
