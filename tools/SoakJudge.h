#pragma once

// What a soak session left behind, and the judgement of it: which of the
// endings of a session it came to, and every rule that it broke.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

#include "BootloaderSession.h"
#include "MessageBoxes.h"
#include "SimulatedDevice.h"
#include "SoakPlan.h"

enum class SessionEnding {
    Success,           // GoApplication acknowledged
    ModelError,        // "Model Error！"
    Refused,           // the device refused the update; the window closed without a message
    TransferFailure,   // "读写失败,地址 = ..."
    PortUnusable,      // "Please reselect COM port!"
    Cancelled,         // the operator answered the watchdog's question with Cancel
    ClosedByOperator,  // the operator closed the window
    Hang,              // the window did not close in time
    Unclassified,      // none of the above
};
inline constexpr int SessionEndingCount = 9;
QString EndingName(SessionEnding ending);

struct ShownMessage {
    QString Text;
    MessageIcon Icon = MessageIcon::None;
    MessageButtons Buttons = MessageButtons::Ok;
    QString Title;
    MessageAnswer Answer = MessageAnswer::Ok;
    bool FromCaller = false;  // shown by the main window after the session window closed
    // Answered when the session had already ended (or was closing): the
    // answer could change nothing any more.
    bool AnsweredAfterEnd = false;
};

struct SessionRecord {
    QList<ShownMessage> Messages;  // in the order shown
    int WindowCloses = 0;          // calls of the view's CloseWindow
    bool Hung = false;
    bool ClosedByOperator = false;
    bool Succeeded = false;  // SessionSucceeded once the window had closed
    bool PortOpenAfter = false;
    bool TimerArmedAfter = false;
    bool ModeUpdateAfter = false;
    bool ModeReadAfter = false;
    QList<float> Progress;
    QStringList ProgressTexts;
    QStringList Captions;
    DeviceCounters Device;
    int ApplicationAddress = -1;  // where the device last started its application
    int SplitReplies = 0;         // replies that the soak made come in two pieces
    int LateReplies = 0;  // of them, those whose second piece came after the watchdog's second
    int StrayBytesInPause = 0;  // sent by the device while the program was blocked in the pause
    // The ending the session itself decided on (BootloaderSession::Outcome).
    std::optional<SessionOutcome> Outcome;
    QByteArray MemoryAfter;
    QByteArray ImageAfter;
};

struct Judgement {
    SessionEnding Ending = SessionEnding::Unclassified;
    QStringList Violations;
};

Judgement JudgeSession(const SessionPlan& plan, const SessionRecord& record);

// Texts of the program.
inline const QString QuestionText = QStringLiteral("Check connection!Retry or cancel?");
inline const QString ReselectPortText = QStringLiteral("Please reselect COM port!");
inline const QString ModelErrorText = QStringLiteral("Model Error！");
inline const QString TransferFailurePrefix = QStringLiteral("读写失败,地址 = ");
inline const QString UpdateSuccessText = QStringLiteral("Successful");
inline const QString ReadSuccessText = QStringLiteral("读取成功");
