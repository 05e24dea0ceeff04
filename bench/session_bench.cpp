// Software time of the bootloader session per exchange: from the moment a
// whole reply is handed to the session to the moment it writes the next
// packet. The device answers at once, so only the session's own work counts.
//
//   session_bench [rounds]

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "BenchFigures.h"
#include "BootloaderSession.h"

namespace {

using Clock = std::chrono::steady_clock;

class NullTimer : public OneShotTimer {
public:
    void Start(int) override { Armed = true; }
    void Stop() override { Armed = false; }
    bool IsActive() const override { return Armed; }
    qint64 NowMs() const override {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   Clock::now().time_since_epoch())
            .count();
    }
    void Fire() {
        Armed = false;
        RaiseTick();
    }

private:
    bool Armed = false;
};

class NoBoxes : public MessageBoxes {
public:
    MessageAnswer Show(const QString&, MessageIcon, MessageButtons, const QString&) override {
        ++Shown;
        return MessageAnswer::Cancel;
    }
    int Shown = 0;
};

class NoPause : public Pause {
public:
    void Sleep(int) override {}
};

class NoView : public SessionView {
public:
    explicit NoView(std::function<void()> onClose) : OnClose(std::move(onClose)) {}
    void SetCaption(const QString&) override {}
    void CloseWindow() override { OnClose(); }
    void SetProgress(float) override {}
    void SetProgressText(const QString&) override {}

private:
    std::function<void()> OnClose;
};

// A port with a bootloader behind it that answers every packet at once.
class InstantDevicePort : public SerialPort {
public:
    void SetPortNumber(qint16) override {}
    bool SetSettings(const QString&) override { return true; }
    void SetBinaryInput() override {}
    void SetReceiveThreshold(int n) override { Threshold = n; }
    bool IsOpen() const override { return Opened; }
    bool Open() override { return Opened = true; }
    void Close() override {
        Opened = false;
        Input.clear();
        Reply.clear();
    }
    bool Write(const QByteArray& bytes) override {
        const auto now = Clock::now();
        if (Timing) {
            Samples.push_back(std::chrono::duration<double, std::micro>(now - Handed).count());
            Timing = false;
        }
        Answer(bytes);
        return true;
    }
    QByteArray ReadAll() override {
        QByteArray all;
        all.swap(Input);
        return all;
    }
    QByteArray DiscardInput() override { return ReadAll(); }

    // Hands the waiting reply to the session; false when there is none.
    bool HandOver() {
        if (Reply.isEmpty() || !Opened || Threshold <= 0) {
            return false;
        }
        Input.swap(Reply);
        Reply.clear();
        Timing = true;
        Handed = Clock::now();
        RaiseComm(CommEvent::DataReceived);
        Timing = false;
        return true;
    }

    std::array<std::uint8_t, ImageSize> Memory{};
    std::vector<double> Samples;

private:
    void Answer(const QByteArray& b) {
        auto at = [&b](int i) { return static_cast<std::uint8_t>(b[i]); };
        if (ExpectBlock && b.size() == BlockLength + 1) {
            ExpectBlock = false;
            std::copy_n(b.constData(), BlockLength, reinterpret_cast<char*>(&Memory[BlockAddress]));
            Reply = QByteArray(1, char(StatusAck));
            return;
        }
        const int address = b.size() >= 5 ? at(3) * 256 + at(4) : 0;
        switch (b.size() >= 2 ? at(1) : 0) {
            case CodeConnect:
                Reply = QByteArray(10, '\0');
                Reply[0] = char(StatusAck);
                Reply[1] = char(ModelMarker);
                Reply[7] = 1;
                Reply[8] = 2;
                Reply[9] = 3;
                break;
            case CodeWriteMemory:
                ExpectBlock = true;
                BlockAddress = address;
                BlockLength = at(5);
                Reply = QByteArray(1, char(StatusAck));
                break;
            case CodeReadMemory: {
                Reply = QByteArray(reinterpret_cast<const char*>(&Memory[address]), 128);
                std::uint8_t x = 0;
                for (const char c : Reply) {
                    x ^= static_cast<std::uint8_t>(c);
                }
                Reply.append(char(x));
                break;
            }
            default:
                Reply = QByteArray(1, char(StatusAck));
                break;
        }
    }

    QByteArray Input;
    QByteArray Reply;
    int Threshold = 0;
    bool Opened = false;
    bool ExpectBlock = false;
    int BlockAddress = 0;
    int BlockLength = 0;
    bool Timing = false;
    Clock::time_point Handed;
};

// Runs one whole session; returns the exchange samples, or none on failure.
std::vector<double> RunSession(bool update) {
    ProcessState state;
    state.ModelId = {1, 2, 3};
    state.FirmwareVersion = {1, 3};
    state.ComPortNumber = 1;
    state.ImageLowestAddress = 0;
    state.ImageHighestAddress = update ? 0xFFFF : 0x7FFF;
    state.SessionModeUpdate = update;
    state.SessionModeReadFirmware = !update;
    for (int a = 0; a < ImageSize; ++a) {
        state.FirmwareImage[a] = static_cast<std::uint8_t>(a * 7);
    }
    InstantDevicePort port;
    for (int a = 0; a < ImageSize; ++a) {
        port.Memory[a] = static_cast<std::uint8_t>(a * 13);
    }
    NullTimer timer;
    NullTimer settleTimer;  // never started: the device always answers in time
    NoBoxes boxes;
    NoPause pause;
    BootloaderSession* current = nullptr;
    NoView view([&current] { current->Form_Unload(); });
    BootloaderSession session(state, port, timer, settleTimer, boxes, pause, view);
    current = &session;

    session.Form_Load();
    while (port.HandOver()) {
    }
    if (timer.IsActive()) {
        timer.Fire();  // the closing tick
    }
    if (!state.SessionSucceeded || session.IsLoaded() || boxes.Shown != 0) {
        return {};
    }
    return port.Samples;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
    for (const bool update : {true, false}) {
        std::vector<double> all;
        std::size_t perSession = 0;
        for (int round = 0; round < rounds; ++round) {
            const std::vector<double> samples = RunSession(update);
            if (samples.empty()) {
                std::fprintf(stderr, "session_bench: the %s session did not succeed\n",
                             update ? "Update" : "Read");
                return 1;
            }
            perSession = samples.size();
            all.insert(all.end(), samples.begin(), samples.end());
        }
        std::printf("%-28s %5zu exchanges x %d rounds: median %.2f us, p95 %.2f us, max %.2f us\n",
                    update ? "Update 64 KiB (0..0xFFFF)" : "Read 32 KiB (0..0x7FFF)", perSession,
                    rounds, Percentile(all, 0.5), Percentile(all, 0.95),
                    *std::max_element(all.begin(), all.end()));
    }
    std::printf("target: median at most 300 us per exchange\n");
    return 0;
}
