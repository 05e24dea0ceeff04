#include "SoakRig.h"

#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <cmath>

#include "BootloaderSession.h"

int ScaledMs(int milliseconds, double scale) {
    if (milliseconds <= 0) {
        return 0;
    }
    return std::max(1, static_cast<int>(std::lround(milliseconds * scale)));
}

ScaledTimer::ScaledTimer(OneShotTimer& inner, double scale, BoxWatch* watch)
    : Inner(inner), Scale(scale) {
    Inner.SetTickHandler([this, watch] {
        if (watch && watch->OpenBoxes > 0) {
            ++watch->TimerTicks;
        }
        RaiseTick();
    });
}

WatchedPort::WatchedPort(SerialPort& inner, BoxWatch& watch) : Inner(inner) {
    Inner.SetCommHandler([this, &watch](CommEvent event) {
        if (watch.OpenBoxes > 0) {
            ++watch.SerialEvents;
        }
        if (event == CommEvent::LineError) {
            ++LineErrors;
        }
        RaiseComm(event);
    });
}

bool WatchedPort::Write(const QByteArray& bytes) {
    const bool ok = Inner.Write(bytes);
    if (!ok) {
        ++FailedWrites;
    }
    return ok;
}

void SoakOperator::BeginSession(const SessionPlan& plan, SessionRecord* record,
                                std::function<bool()> sessionOver) {
    Record = record;
    SessionOver = std::move(sessionOver);
    Dice.seed(plan.Seed ^ 0x0BE7A70Fu);
    RetryChance = plan.RetryChance;
    GiveUpAfter = plan.GiveUpAfter;
    HoldChance = plan.HoldChance;
    HoldMaxMs = plan.HoldMaxMs;
    FirstQuestionHoldMs = plan.FirstQuestionHoldMs;
    SessionQuestions = 0;
}

void SoakOperator::ShowAsCaller(const QString& text) {
    Caller = true;
    Show(text, MessageIcon::Exclamation, MessageButtons::Ok, SoakTitle);
    Caller = false;
}

MessageAnswer SoakOperator::Show(const QString& text, MessageIcon icon, MessageButtons buttons,
                                 const QString& title) {
    auto chance = [this](double p) {
        return std::uniform_real_distribution<double>(0, 1)(Dice) < p;
    };
    MessageAnswer answer = MessageAnswer::Ok;
    if (buttons == MessageButtons::RetryCancel) {
        ++Questions;
        ++SessionQuestions;
        // The question that a reply overtakes is answered with Retry: what
        // the session does then is the point of that scenario.
        const bool overtaken = SessionQuestions == 1 && FirstQuestionHoldMs > 0;
        const bool retry = overtaken || (SessionQuestions <= GiveUpAfter && chance(RetryChance));
        answer = retry ? MessageAnswer::Retry : MessageAnswer::Cancel;
        ++(retry ? Retries : Cancels);
    }
    qsizetype index = -1;
    if (Record) {
        index = Record->Messages.size();
        Record->Messages.append({text, icon, buttons, title, answer, Caller, false});
    }
    const bool firstQuestion =
        buttons == MessageButtons::RetryCancel && SessionQuestions == 1 && FirstQuestionHoldMs > 0;
    if (!Caller && (firstQuestion || chance(HoldChance))) {
        // The operator takes a while to read the box; the program's events
        // go on meanwhile, as under a modal box.
        ++Held;
        const int holdMs = firstQuestion ? FirstQuestionHoldMs
                                         : std::uniform_int_distribution<int>(0, HoldMaxMs)(Dice);
        QEventLoop box;
        QTimer::singleShot(ScaledMs(holdMs, Scale), &box, &QEventLoop::quit);
        ++Watch.OpenBoxes;
        box.exec();
        --Watch.OpenBoxes;
    }
    if (Record && index >= 0 && !Caller && SessionOver) {
        Record->Messages[index].AnsweredAfterEnd = SessionOver();
    }
    return answer;
}

namespace {

// The session window without widgets: records what it is told to show and
// hands the closing to the runner.
class SoakView : public SessionView {
public:
    explicit SoakView(SessionRecord& record) : Record(record) {}
    void SetCaption(const QString& text) override { Record.Captions.append(text); }
    void CloseWindow() override {
        ++Record.WindowCloses;
        if (OnClose) {
            OnClose();
        }
    }
    void SetProgress(float fraction) override { Record.Progress.append(fraction); }
    void SetProgressText(const QString& text) override { Record.ProgressTexts.append(text); }

    std::function<void()> OnClose;

private:
    SessionRecord& Record;
};

}  // namespace

SoakRig::SoakRig(double timeScale)
    : Operator(timeScale, Watch),
      Scale(timeScale),
      SessionTimeoutMs(30000 + static_cast<int>(400000 * timeScale)) {
    QObject::connect(&Device, &SimulatedDevice::RequestHandled, &Device,
                     [this](ExchangeKind kind, FaultKind fault) { OnRequestHandled(kind, fault); });
    Device.SetTrafficSink([this](const TrafficRecord& record) {
        if (record.Dir == TrafficRecord::Direction::In) {
            OnRequestBytes(record.Bytes);
        }
    });
}

SoakRig::~SoakRig() {
    Device.Stop();
}

bool SoakRig::Start(QString* error) {
    if (!Root.isValid()) {
        *error = QStringLiteral("no temporary folder");
        return false;
    }
    // The port finds COM99 below the per-machine store root.
    qputenv("FWLOADER_STORE_ROOT", QFile::encodeName(Root.path()));
    Device.SetTrafficLimit(20000);
    return Device.Start(error) && Device.PublishAsComPort(SoakComPort, Root.path(), error);
}

int SoakRig::QuietGapMs() const {
    const int scaled = ScaledMs(DeviceQuietGapMs, Scale);
    return std::max(scaled, std::min(QuietGapFloorMs, ScaledMs(WatchdogMs, Scale) / 2));
}

QStringList SoakRig::LastTraffic(int records) const {
    QStringList lines;
    const auto& log = Device.Traffic();
    const int from = std::max(0, static_cast<int>(log.size()) - records);
    for (int i = from; i < static_cast<int>(log.size()); ++i) {
        lines.append(FormatTrafficRecord(log[i]));
    }
    return lines;
}

bool SoakRig::PrepareDevice(const SessionPlan& plan, QString* error) {
    // Each session meets a freshly started device: nothing of an earlier
    // session is left in its buffers or on the line.
    if (plan.Port == PortTrouble::Missing) {
        Device.Stop();
    } else if (!Device.Start(error) || !Device.PublishAsComPort(SoakComPort, Root.path(), error)) {
        return false;
    }
    Device.SetModel(plan.Model[0], plan.Model[1], plan.Model[2]);
    Device.SetMarker(plan.Marker);
    Device.SetNoMarkerValue(plan.NoMarkerValue);
    Device.SetMemory(plan.DeviceMemory);
    Device.SetQuietGapMs(QuietGapMs());
    Device.SetFlash(plan.Flash);
    Device.SetKeepsAwaitedBlock(plan.Flash);
    Device.SetReplyDelayMs(ScaledMs(plan.ReplyDelayMs, Scale));
    Device.SetAsleep(plan.AsleepMs < 0 ? -1 : ScaledMs(plan.AsleepMs, Scale),
                     ScaledMs(plan.TextEveryMs, Scale));
    Connects = 0;
    ReplySplit = false;
    ReplyLate = false;
    Device.SetReplyPieces({});
    Device.Faults().ClearScripted();
    for (const ScriptedFault& fault : plan.Scripted) {
        Device.AddFault(fault);
    }
    // The device's late replies are intervals like any other: scaled.
    RandomFaultRates rates = plan.Rates;
    rates.LateMinMs = ScaledMs(rates.LateMinMs, Scale);
    rates.LateMaxMs = ScaledMs(rates.LateMaxMs, Scale);
    rates.CutHeadMs = ScaledMs(rates.CutHeadMs, Scale);
    rates.CutGapMs = ScaledMs(rates.CutGapMs, Scale);
    rates.StrayTailMs = ScaledMs(rates.StrayTailMs, Scale);
    rates.BabbleMs = ScaledMs(rates.BabbleMs, Scale);
    rates.BabbleGapMs = ScaledMs(rates.BabbleGapMs, Scale);
    Device.SetRandomFaults(rates, plan.FaultSeed);
    Device.ResetCounters();
    Device.ClearTraffic();
    return true;
}

// Decides, as a request reaches the device, whether its reply comes in two
// pieces: a Connect reply often after the watchdog's second, a read block
// within 300 ms unless late read blocks are asked for.
void SoakRig::OnRequestBytes(const QByteArray& bytes) {
    ReplySplit = false;
    ReplyLate = false;
    Device.SetReplyPieces({});
    if (!Plan || bytes.size() < 2 || static_cast<quint8>(bytes[0]) != 0x55) {
        return;
    }
    const quint8 code = static_cast<quint8>(bytes[1]);
    const bool connect = code == CodeConnect;
    if (connect && ++Connects == Plan->LateConnect) {
        ReplySplit = true;
        ReplyLate = true;
        Device.SetReplyPieces(
            {std::uniform_int_distribution<int>(1, 9)(Dice)},
            ScaledMs(std::uniform_int_distribution<int>(1100, 2500)(Dice), Scale));
        return;
    }
    if (!connect && code != CodeReadMemory) {
        return;
    }
    if (Plan->SplitReplyRate <= 0 ||
        std::uniform_real_distribution<double>(0, 1)(Dice) >= Plan->SplitReplyRate) {
        return;
    }
    const bool mayBeLate = connect || Plan->LateReadBlocks;
    const int gap = mayBeLate ? std::uniform_int_distribution<int>(200, 2500)(Dice)
                              : std::uniform_int_distribution<int>(50, 300)(Dice);
    const int head = std::uniform_int_distribution<int>(1, 9)(Dice);
    ReplySplit = true;
    ReplyLate = gap >= WatchdogMs;
    Device.SetReplyPieces({head}, ScaledMs(gap, Scale));
}

void SoakRig::OnRequestHandled(ExchangeKind kind, FaultKind fault) {
    if (!Record) {
        return;
    }
    const bool longReply = kind == ExchangeKind::Connect || kind == ExchangeKind::ReadMemory;
    const bool replied = fault != FaultKind::Silence && fault != FaultKind::DropReply &&
                         fault != FaultKind::Only9600;
    if (ReplySplit && longReply && replied) {
        ++Record->SplitReplies;
        Record->LateReplies += ReplyLate;
    }
    ReplySplit = false;
    ReplyLate = false;
    if (kind == ExchangeKind::DataBlock && fault == FaultKind::DropReply) {
        ++Totals.LostDataReplies;
    }
}

bool SoakRig::Run(const SessionPlan& plan, SessionRecord& record, QString* error) {
    record = SessionRecord{};
    Dice.seed(plan.Seed ^ 0x5EEDF00Du);
    if (!PrepareDevice(plan, error)) {
        *error = QStringLiteral("the device cannot start: %1").arg(*error);
        return false;
    }
    Plan = &plan;
    Record = &record;

    // Another program holding the port.
    std::unique_ptr<QtSerialPort> holder;
    if (plan.Port == PortTrouble::Busy) {
        holder = std::make_unique<QtSerialPort>();
        holder->SetPortNumber(SoakComPort);
        if (!holder->Open()) {
            *error = QStringLiteral("cannot hold the port: %1").arg(holder->LastError());
            Plan = nullptr;
            Record = nullptr;
            return false;
        }
    }

    // What the main window hands over.
    auto state = std::make_unique<ProcessState>();
    std::copy_n(plan.Image.constData(), ImageSize,
                reinterpret_cast<char*>(state->FirmwareImage.data()));
    state->ImageLowestAddress = plan.Low;
    state->ImageHighestAddress = plan.High;
    state->ModelId = plan.Model;
    state->FirmwareVersion = plan.Version;
    state->ComPortNumber = SoakComPort;
    state->AppTitle = SoakTitle;
    state->EnglishUi = true;
    state->SessionModeUpdate = plan.Update;
    state->SessionModeReadFirmware = !plan.Update;

    // The session window: a new port and Timer1 for each.
    QtSerialPort port;
    WatchedPort watched(port, Watch);
    QtOneShotTimer qtTimer;
    ScaledTimer timer1(qtTimer, Scale, &Watch);
    QtOneShotTimer qtSettleTimer;
    ScaledTimer settleTimer(qtSettleTimer, Scale);
    ScaledPause pause(RealPause, Scale);
    pause.Before = [&] {
        const QByteArray bytes = plan.PauseRepeatsConnect ? Device.LastReply() : plan.PauseStray;
        if (!bytes.isEmpty() && Device.IsRunning()) {
            Device.SendStray(bytes);
            record.StrayBytesInPause += static_cast<int>(bytes.size());
        }
    };
    SoakView view(record);
    {
        BootloaderSession session(*state, watched, timer1, settleTimer, Operator, pause, view);
        Operator.BeginSession(plan, &record,
                              [&session] { return !session.IsLoaded() || session.CloseRequested; });
        QEventLoop modal;
        view.OnClose = [&] {
            session.Form_Unload();
            modal.quit();
        };
        // As the window does: the load handler runs once the modal loop runs.
        QTimer::singleShot(0, &modal, [&] { session.Form_Load(); });
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, &modal, [&] {
            record.Hung = true;
            session.Form_Unload();
            modal.quit();
        });
        // A slow board takes its delay over every exchange, a few times over
        // where the watchdog resends; one switched on late, its sleep.
        guard.start(SessionTimeoutMs + ScaledMs(3 * plan.ReplyDelayMs * plan.PlainExchanges() +
                                                    std::max(0, plan.AsleepMs),
                                                Scale));
        // The operator's close box: not while a box is up (it is modal) nor
        // once the window is closing anyway.
        QTimer closer;
        closer.setSingleShot(true);
        QObject::connect(&closer, &QTimer::timeout, &modal, [&] {
            if (!session.IsLoaded() || session.CloseRequested) {
                return;
            }
            if (Watch.OpenBoxes > 0) {
                closer.start(1);
                return;
            }
            record.ClosedByOperator = true;
            session.Form_Unload();
            modal.quit();
        });
        if (plan.CloseAfterMs >= 0) {
            closer.start(plan.CloseAfterMs);
        }
        modal.exec();
        view.OnClose = {};
        record.Outcome = session.Outcome();

        // The main window, once the modal window has gone.
        record.Succeeded = state->SessionSucceeded;
        if (state->SessionSucceeded) {
            Operator.ShowAsCaller(plan.Update ? UpdateSuccessText : ReadSuccessText);
        }
        record.PortOpenAfter = port.IsOpen();
        record.TimerArmedAfter = timer1.IsActive() || settleTimer.IsActive();
        record.ModeUpdateAfter = state->SessionModeUpdate;
        record.ModeReadAfter = state->SessionModeReadFirmware;
    }
    Operator.EndSession();

    record.Device = Device.Counters();
    record.ApplicationAddress = Device.LastApplicationAddress();
    record.MemoryAfter = Device.Memory();
    record.ImageAfter =
        QByteArray(reinterpret_cast<const char*>(state->FirmwareImage.data()), ImageSize);

    for (int i = 0; i < FaultKindCount; ++i) {
        Totals.ByFault[i] += record.Device.ByFault[i];
    }
    Totals.SplitReplies += record.SplitReplies;
    Totals.LateReplies += record.LateReplies;
    Totals.PauseStrays += record.StrayBytesInPause > 0;
    Totals.PortMissing += plan.Port == PortTrouble::Missing;
    Totals.PortBusy += plan.Port == PortTrouble::Busy;
    Totals.OperatorCloses += record.ClosedByOperator;
    Totals.Exchanges += record.Device.Exchanges;
    Totals.FailedWrites += watched.FailedWrites;
    Totals.LineErrors += watched.LineErrors;
    Totals.SkippedBytes += record.Device.SkippedBytes;
    Totals.DroppedPartials += record.Device.DroppedPartials;
    Totals.UnerasedWrites += record.Device.UnerasedWrites;
    if (!plan.BoardKind().isEmpty()) {
        auto& board = Totals.Boards[plan.BoardKind()];
        ++board.first;
        board.second += record.Succeeded;
    }
    Plan = nullptr;
    Record = nullptr;
    return true;
}
