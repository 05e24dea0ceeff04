#pragma once

// The main window: the Update and COM buttons, the heading and the version
// label, with the hidden Read and Save buttons. Its handlers live in
// MainActions; this class owns the controls and the platform parts.

#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <memory>

#include "FileDialogs.h"
#include "KeyValueBackend.h"
#include "MainActions.h"
#include "QtMessageBoxes.h"
#include "QtPlatform.h"

class Form1 : public QWidget, public MainView {
    Q_OBJECT
public:
    Form1(ProcessState& state, const QString& programFolder, QWidget* parent = nullptr);
    ~Form1() override;

    // Start-up; false when the program must end without showing the window.
    bool Load();
    QString StartupProblem() const { return Actions->StartupProblem(); }

    void SetCaption(const QString& caption) override;
    void SetVersionLabel(const QString& text) override;
    void ShowSessionWindow() override;
    void ShowPortDialog() override;

    QPushButton* Command1;
    QPushButton* CommandCom;
    QPushButton* CommandRead;
    QPushButton* CommandSave;
    QLabel* Label1;
    QLabel* LabelVersion;

private:
    ProcessState& State;
    QtFileSystem Files;
    QtMessageBoxes Messages;
    QtPause Pause;
    std::unique_ptr<FileDialogs> Dialogs;
    std::unique_ptr<KeyValueBackend> Store;
    std::unique_ptr<MainActions> Actions;
};
