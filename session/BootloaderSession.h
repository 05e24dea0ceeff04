#pragma once

// The bootloader session, free of widgets. It talks to the device through
// the window's serial port (MSComm1), keeps time with the window's one-shot
// timers (Timer1, and the link's quiet timer) and reaches
// the window itself only through SessionView.
//
// Road of a session: Form_Load sends Connect; every reply that arrives
// (MSComm1_OnComm) decides the next packet: EraseMemory, WriteMemory and the
// data block for each 128-byte block of an Update, ReadMemory blocks for a
// ReadFirmware; GoApplication ends it. Timer1 resends what goes unanswered
// and, after repeated silence, asks the operator whether to go on.
//
// Replies carry no sequence number. Whether a reply can be taken as the
// answer to the request last sent is decided by the link under the session
// (BootloaderLink): only a reply to a request that went out on a clean line
// is trusted. What the session does with the others:
// - nothing new goes out until the line is clean again (quiet for a while);
//   meanwhile the watchdog watches the line, and a line that never goes
//   quiet brings its question;
// - a read frame is stored only when trusted; otherwise the same block is
//   asked again;
// - a block of an Update counts as written only when its WriteMemory and its
//   data block were answered on a clean line; any doubt there means the
//   block is erased and written again. An erase counts only when its
//   acknowledgement is trusted;
// - Connect and GoApplication act on an answer of any of their copies.
// A device that answers in time, refusals included, never meets any of this:
// its packets and their timing are those of a plain session.
//
// Once the session has come to an ending (Outcome() is no longer Running),
// nothing that arrives afterwards changes it: replies behind a message box
// are read and dropped, timer ticks do nothing but the closing one, nothing
// more is sent and no other message is shown.

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>

#include "BootloaderLink.h"
#include "MessageBoxes.h"
#include "OneShotTimer.h"
#include "OwedBlock.h"
#include "Pause.h"
#include "ProcessState.h"
#include "SerialPort.h"

// What the session needs of its window.
class SessionView {
public:
    virtual ~SessionView() = default;
    virtual void SetCaption(const QString& text) = 0;
    // Closes the window, which ends its modal showing; the window then calls
    // Form_Unload.
    virtual void CloseWindow() = 0;
    // The transferred fraction, 0 to 1.
    virtual void SetProgress(float fraction) = 0;
    virtual void SetProgressText(const QString& text) = 0;
};

// Command codes: byte 1 of CommandHeader.
enum : std::uint8_t {
    CodeConnect = 0x82,
    CodeEraseMemory = 0x01,
    CodeWriteMemory = 0x02,
    CodeReadMemory = 0x81,
    CodeGoApplication = 0x03,
};

// Status byte of a reply.
enum : std::uint8_t {
    StatusAck = 0x79,
    StatusRefused = 0x1F,
};

// How a session ended: exactly one of these once it has ended.
enum class SessionOutcome {
    Running,          // not ended yet (or never loaded)
    Success,          // GoApplication acknowledged
    ModelError,       // "Model Error！"
    Refused,          // the device refused the update (no message)
    TransferFailure,  // "读写失败,地址 = ..."
    PortNotOpened,    // "Please reselect COM port!"
    Cancelled,        // the watchdog's question answered with Cancel
    Closed,           // the window was closed before any other ending
};

// Byte 1 of a Connect reply: the device reports its model and goes on at
// 19200 baud.
inline constexpr std::uint8_t ModelMarker = 0x55;

class BootloaderSession {
public:
    // Installs the receive handler on msComm1 and the tick handlers on timer1
    // and quietTimer; they are removed again when the session is destroyed.
    // timer1 is the watchdog and closing timer; quietTimer is a second
    // one-shot timer of the same kind, the link's, which also times replies.
    // The session is ready for Form_Load; the caller runs the event loop that
    // delivers the port's events and the ticks.
    BootloaderSession(ProcessState& state, SerialPort& msComm1, OneShotTimer& timer1,
                      OneShotTimer& quietTimer, MessageBoxes& messages, Pause& pause,
                      SessionView& view);
    ~BootloaderSession();
    BootloaderSession(const BootloaderSession&) = delete;
    BootloaderSession& operator=(const BootloaderSession&) = delete;

    // The window's handlers.
    void Form_Load();
    void Form_Unload();
    void MSComm1_OnComm(SerialPort::CommEvent event);
    void Timer1_Timer();

    // The window's routines.
    void SendCommand(const QString& stepName);
    void SendDataBlock();
    void EndSession(int delayMs);
    void ShowProgress();

    // True between Form_Load and Form_Unload; handlers do nothing otherwise.
    bool IsLoaded() const { return Loaded; }

    // Read-back of an Update (fwloader-cli --verify; the window never asks
    // for it). Set before Form_Load: after the last block, and before
    // GoApplication, the written range is read back block by block with
    // ReadMemory, as a read session reads, and compared with the image. A
    // block that differs is erased and written again and read back once more,
    // up to VerifyRewriteLimit times; a block that still differs ends the
    // session as a transfer failure at its first differing address.
    bool VerifyAfterWrite = false;
    static constexpr int VerifyRewriteLimit = 2;
    // The range was read back equal to the image.
    bool Verified() const { return ReadBackEqual; }
    // The first address that still differed when the session gave up; -1
    // when none did.
    std::int32_t VerifyMismatch() const { return Mismatch; }
    // Milliseconds from the first read-back request to the read-back's end
    // (or to now, when it has not ended); 0 when it never began.
    qint64 VerifyMs() const;
    // The ending the session came to; Running until it has decided on one.
    // Decided once: SessionSucceeded is set only with Success.
    SessionOutcome Outcome() const { return Ending; }

    // Step names of the opening send.
    static QString StepUpdate() { return QStringLiteral("Update"); }
    static QString StepReadFirmware() { return QStringLiteral("读取固件"); }

    // Session fields. Every command is built by rewriting CommandHeader in
    // place; only its first HeaderLength bytes are sent, the rest keep what an
    // earlier command left there.
    std::array<std::uint8_t, 8> CommandHeader{};
    std::uint8_t HeaderLength = 0;
    // Reply bytes the next send waits for; the port's receive threshold.
    std::uint8_t ReplyLength = 0;
    // How the next reply is read: 0 none, 1 command reply, 2 block reply.
    std::int16_t ReplyPhase = 0;
    // The phase that the next send puts in force.
    std::uint8_t NextPhase = 1;
    // The current address is AddressPage * 256 + AddressLow: in an Update the
    // first byte not yet written, in a ReadFirmware the first not yet read.
    std::int16_t AddressPage = 0;
    std::int16_t AddressLow = 0;
    // Base address of the 128-byte block erased last.
    std::int32_t ErasedBlock = 0;
    // Resends over the whole session; set back to 0 only when the watchdog
    // asks the operator.
    std::int16_t RetryCount = 0;
    // A reply is awaited and the watchdog may resend.
    bool AwaitingReply = false;
    // A watchdog tick is being handled, its question included.
    bool WatchdogBusy = false;
    // The next Timer1 tick closes the window.
    bool CloseRequested = false;
    // The next Connect goes out at 19200 baud (else at 9600).
    bool NextBaudHigh = true;

private:
    using Reply = BootloaderLink::Reply;
    void CommandReply(const QByteArray& r);
    void ConnectAccepted(const QByteArray& r);
    void BlockReply(const QByteArray& r);
    void ReadBlockReceived(const QByteArray& r);
    void Doubt(const Reply& r);
    // The kind of request whose reply is awaited.
    BootloaderLink::Request LastKind() const;
    void NextUpdateStep();
    // The requests (SessionPackets.cpp).
    void BuildConnect();
    void BuildErase(std::int32_t block);
    void BuildWrite(std::int32_t address, std::int32_t n);
    void BuildRead(std::int32_t address);
    void BuildGo(std::int32_t address);
    QByteArray DataBlock() const;
    void RedoBlock();
    void TransferFailure();
    // The watchdog (SessionWatchdog.cpp).
    void KeepWaiting();
    void ResendAfterSilence();
    void WatchAgain();
    void CountRetry();
    void Advance(int n);
    // The read-back (SessionReadBack.cpp).
    bool ReadBackNext();
    void RequestReadBack();
    void CompareReadBack(const QByteArray& r);
    void SetCurrent(std::int32_t address);
    void WriteHeader();
    void SendNext(const QString& stepName);
    void EndSettle(const QString& stepName);
    bool Running() const { return Loaded && Ending == SessionOutcome::Running; }
    bool IsUpdate() const { return State.SessionModeUpdate; }
    std::int32_t Current() const { return AddressPage * 256 + AddressLow; }
    std::int32_t Low() const;
    std::int32_t High() const;

    static constexpr int BlockSize = 128;
    // The watchdog's second, and the ticks that close the window.
    static constexpr int SendWatchMs = 1000;
    static constexpr int CloseAtOnceMs = 1;

    ProcessState& State;
    SerialPort& MSComm1;
    OneShotTimer& Timer1;
    MessageBoxes& Messages;
    Pause& Sleeper;
    SessionView& View;
    BootloaderLink Link;
    bool Loaded = false;
    // The unrecognised reply's longer wait has been given since the last
    // send; it lasts until WaitUntilMs.
    bool WaitExtended = false;
    qint64 WaitUntilMs = 0;
    // When the watch over a settling line ends, unless the line went quiet.
    qint64 SettleWatchDueMs = 0;
    // The data block the device may wait for.
    OwedBlock Owed;
    SessionOutcome Ending = SessionOutcome::Running;
    // Records the ending; the first one decided stands.
    void DecideEnding(SessionOutcome outcome);

    // Read-back state: started with the first request, the base of the block
    // read back (or rewritten) now, its rewrites so far, and the end.
    bool ReadingBack = false;
    bool ReadBackOver = false;
    bool ReadBackEqual = false;
    std::int32_t ReadBackBlock = 0;
    int ReadBackRewrites = 0;
    std::int32_t Mismatch = -1;
    qint64 ReadBackStartMs = 0;
    qint64 ReadBackEndMs = 0;
};
