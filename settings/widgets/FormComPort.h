#pragma once

// The port selection dialog. The owner creates it and shows it with exec();
// the ports are probed while it is created, so it appears with its list
// ready. OK stores the chosen port and closes; Cancel and the close box close
// without taking anything. Neither button is pressed by Enter or Escape.
//
//     FormComPort dialog(state, store, std::move(probePort), owner);
//     dialog.exec();  // Accepted when OK took a port
//
// Each opening needs a new dialog and a new probe port, fresh with its
// design line settings.

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <memory>

#include "KeyValueBackend.h"
#include "PortSelection.h"
#include "ProcessState.h"
#include "SerialPort.h"

class FormComPort : public QDialog, private PortSelectionView {
    Q_OBJECT
public:
    FormComPort(ProcessState& state, KeyValueBackend& store, std::unique_ptr<SerialPort> probePort,
                QWidget* parent = nullptr);
    ~FormComPort() override;

    QLabel* LabelComPort;
    QComboBox* ComboComPort;
    QPushButton* CommandOk;
    QPushButton* CommandCancel;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void SetTitle(const QString& text) override;
    void SetLabelComPortCaption(const QString& text) override;
    void SetCommandOkCaption(const QString& text) override;
    void SetCommandCancelCaption(const QString& text) override;
    void AddItem(const QString& text) override;
    void SetListIndex(int index) override;
    QString Text() const override;
    void Unload(bool accepted) override;

    std::unique_ptr<SerialPort> MSComm1;
    PortSelection Handlers;
};
