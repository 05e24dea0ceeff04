#include "CommDriverModel.h"

namespace {

class ModelDriver : public CommDriver {
public:
    explicit ModelDriver(std::shared_ptr<DriverModel> model) : Model(std::move(model)) {}
    unsigned long SetLine(const LineSettings& settings) override {
        Model->SetLine(settings);
        return 0;
    }
    unsigned long SetTimeouts(const CommTimeouts& timeouts) override {
        Model->SetTimeouts(timeouts);
        return 0;
    }
    Transfer Read(char* buffer, unsigned long size) override { return Model->Read(buffer, size); }
    Transfer Write(const char* bytes, unsigned long size) override {
        return Model->Write(bytes, size);
    }
    Status ClearErrors() override { return Model->ClearErrors(); }
    bool Purge(unsigned long flags) override { return Model->Purge(flags); }
    void AttachThread() override { Model->Attach(); }
    void CancelThreadIo() override { Model->Cancel(); }
    QString ErrorText(unsigned long code) const override {
        return QStringLiteral("system error %1").arg(code);
    }

private:
    std::shared_ptr<DriverModel> Model;
};

}  // namespace

std::unique_ptr<CommDriver> DriverModel::Driver(std::shared_ptr<DriverModel> self) {
    return std::make_unique<ModelDriver>(std::move(self));
}

std::unique_lock<std::mutex> DriverModel::Enter(Call call) {
    std::unique_lock lock(M);
    Changed.wait(lock, [this] { return !InCall; });
    InCall = true;
    if (std::this_thread::get_id() == PortThread) {
        ThreadCall = call;
        Cancelled = false;
    }
    return lock;
}

void DriverModel::Leave(std::unique_lock<std::mutex>& lock) {
    InCall = false;
    if (std::this_thread::get_id() == PortThread) {
        ThreadCall = Call::None;
    }
    Changed.notify_all();
    lock.unlock();
}

void DriverModel::Cancel() {
    std::lock_guard lock(M);
    // CancelSynchronousIo finds nothing to cancel between two calls.
    if (ThreadCall == Call::None || IgnoreCancel) {
        return;
    }
    Cancelled = true;
    if (Waiting.Active && !Waiting.Done) {
        Finish({false, 0, CommCodes::OperationAborted});  // the bytes it held are lost
    }
    Input += std::exchange(ArriveOnCancel, QByteArray());
    Changed.notify_all();
}

void DriverModel::FeedRead() {
    if (!Waiting.Active || Waiting.Done) {
        return;
    }
    const qsizetype take = std::min<qsizetype>(Input.size(), Waiting.Size - Waiting.Got.size());
    Waiting.Got += Input.left(take);
    Input.remove(0, take);
    if (Waiting.Got.size() == qsizetype(Waiting.Size) ||
        (Waiting.FirstByteReturns && !Waiting.Got.isEmpty())) {
        Finish({true, static_cast<unsigned long>(Waiting.Got.size()), 0});
    }
}

CommDriver::Transfer DriverModel::Read(char* buffer, unsigned long size) {
    auto lock = Enter(Call::Read);
    Waiting = PendingRead{};
    Waiting.Active = true;
    Waiting.Size = size;
    Waiting.FirstByteReturns = !HoldPartialReads && Timeouts.ReadInterval == CommCodes::MaxDword &&
                               Timeouts.ReadMultiplier == CommCodes::MaxDword;
    if (PulledError != 0) {
        Finish({false, 0, PulledError});
    }
    FeedRead();
    Changed.wait(lock, [this] { return Waiting.Done; });
    const CommDriver::Transfer result = Waiting.Result;
    std::copy(Waiting.Got.cbegin(), Waiting.Got.cend(), buffer);
    Waiting = PendingRead{};
    Leave(lock);
    return result;
}

CommDriver::Transfer DriverModel::Write(const char* bytes, unsigned long size) {
    auto lock = Enter(Call::Write);
    CommDriver::Transfer result{true, size, 0};
    WriteAborted = false;
    if (PulledError != 0) {
        result = {false, 0, PulledError};
    } else if (StallWrites) {
        const bool ended = Changed.wait_for(lock, std::chrono::milliseconds(GiveUpMs), [this] {
            return Cancelled || WriteAborted || !StallWrites;
        });
        LastWriteEnd = !ended         ? QStringLiteral("timed out")
                       : Cancelled    ? QStringLiteral("cancelled")
                       : WriteAborted ? QStringLiteral("purged")
                                      : QStringLiteral("written");
        if (!ended) {
            result = {true, 0, 0};
        } else if (Cancelled || WriteAborted) {
            result = {false, 0, CommCodes::OperationAborted};
        }
    }
    if (result.Ok && result.Count == size) {
        Output.append(bytes, size);
    }
    Leave(lock);
    return result;
}

CommDriver::Status DriverModel::ClearErrors() {
    auto lock = Enter(Call::Status);
    CommDriver::Status status;
    if (StatusDelayMs > 0) {
        Changed.wait_for(lock, std::chrono::milliseconds(StatusDelayMs),
                         [this] { return Cancelled; });
    }
    if (Cancelled) {
        status = {false, 0, 0, CommCodes::OperationAborted};
    } else if (StatusFails) {
        status = {false, 0, 0, CommCodes::AccessDenied};
    } else {
        status = {true, std::exchange(LineErrors, 0ul), static_cast<unsigned long>(Input.size()),
                  0};
    }
    Leave(lock);
    return status;
}

bool DriverModel::Purge(unsigned long flags) {
    {
        // PURGE_TXABORT ends a pending write at once, whoever holds the handle.
        std::lock_guard quick(M);
        if (flags & CommCodes::TxAbort) {
            WriteAborted = true;
            Changed.notify_all();
        }
    }
    auto lock = Enter(Call::None);
    PurgeFlags << flags;
    if (flags & CommCodes::RxClear) {
        Input.clear();
    }
    Leave(lock);
    return true;
}
