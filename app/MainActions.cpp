#include "MainActions.h"

#include "Configuration.h"
#include "FirmwareFile.h"
#include "SaveAction.h"

const QStringList MainActions::ReservedNames = ReservedFirmwareNames();

MainActions::MainActions(const MainServices& services, MainView& view)
    : Services(services), View(view) {}

bool MainActions::Form_Load() {
    ProcessState& state = Services.State;

    // Steps 1 to 6: Config.txt gives the title (and the caption), the model
    // bytes and the settings key path.
    const QString problem = LoadConfiguration(Services.Files, Services.ProgramFolder, state);
    View.SetCaption(state.AppTitle);

    // Step 7: a configuration that cannot be used ends the program here.
    if (!problem.isEmpty()) {
        Problem = problem;
        if (Services.ReportLine) {
            Services.ReportLine(Problem);
        }
        Services.Messages.Show(Problem, MessageIcon::Critical, MessageButtons::Ok, state.AppTitle);
        return false;
    }

    // Step 8: the stored COM port; port 1 when nothing is stored.
    LoadStoredComPort(Services.Store, state);

    // Steps 9 and 10.
    state.EnglishUi = true;
    View.SetVersionLabel(QStringLiteral("Version:") + QLatin1String(ProgramVersion));
    return true;
}

void MainActions::Command1_Click() {
    ProcessState& state = Services.State;

    // 1 to 10: pre-fill the image, choose the firmware file in the program
    // folder, load it and take the version from its name.
    const FirmwareLoad load = LoadFirmwareFromFolder(Services.Files, Services.ProgramFolder, state);
    switch (load.Fault) {
        case FirmwareLoad::Problem::NoFile:
        case FirmwareLoad::Problem::CannotOpen:
            // These two carry the program's fixed title, not AppTitle.
            Services.Messages.Show(load.Message(), MessageIcon::Critical, MessageButtons::Ok,
                                   QStringLiteral("Update"));
            return;
        case FirmwareLoad::Problem::Rejected:
            Services.Messages.Show(load.Message(), MessageIcon::None, MessageButtons::Ok,
                                   state.AppTitle);
            return;
        case FirmwareLoad::Problem::None:
            break;
    }

    // 11 and 12. The session, then its result.
    state.SessionModeUpdate = true;
    View.ShowSessionWindow();
    if (state.SessionSucceeded) {
        Services.Messages.Show(QStringLiteral("Successful"), MessageIcon::Exclamation,
                               MessageButtons::Ok, state.AppTitle);
    }
}

void MainActions::CommandRead_Click() {
    ProcessState& state = Services.State;
    state.ImageHighestAddress = 0x7FFF;
    state.ImageLowestAddress = 0;
    state.SessionModeReadFirmware = true;
    View.ShowSessionWindow();
    if (state.SessionSucceeded) {
        Services.Messages.Show(QStringLiteral("读取成功"), MessageIcon::Exclamation,
                               MessageButtons::Ok, state.AppTitle);
    }
}

void MainActions::CommandCom_Click() {
    View.ShowPortDialog();
}

void MainActions::CommandSave_Click() {
    RunSaveAction(Services.State, Services.Dialogs, Services.Files, Services.Messages);
}
