#include "Fakes.h"

#include <QRegularExpression>
#include <algorithm>
#include <memory>

void ManualTimer::Start(int milliseconds) {
    Stop();
    Interval = milliseconds;
    Pending = Scheduler.Post(milliseconds, [this] {
        Pending = 0;
        RaiseTick();
    });
}

void ManualTimer::Stop() {
    if (Pending != 0) {
        Scheduler.Cancel(Pending);
        Pending = 0;
    }
}

ScriptedSerialPort::~ScriptedSerialPort() {
    for (const Arrival& arrival : Arrivals) {
        Scheduler.Cancel(arrival.Id);
    }
}

void ScriptedSerialPort::Forget(VirtualScheduler::ActionId id) {
    Arrivals.removeIf([id](const Arrival& arrival) { return arrival.Id == id; });
}

bool ScriptedSerialPort::SetSettings(const QString& settings) {
    LineSettings parsed;
    if (!ParseLineSettings(settings, parsed)) {
        return false;
    }
    SettingsLog.append(settings);
    BaudRate = parsed.BaudRate;
    return true;
}

void ScriptedSerialPort::SetReceiveThreshold(int n) {
    Threshold = n;
    CheckThreshold();
}

bool ScriptedSerialPort::Open() {
    if (Opened || PortsThatFailToOpen.contains(PortNumber)) {
        return false;
    }
    Opened = true;
    ++OpenCount;
    Input.clear();
    return true;
}

void ScriptedSerialPort::Close() {
    if (Opened) {
        ++CloseCount;
    }
    Opened = false;
    Input.clear();
}

bool ScriptedSerialPort::Write(const QByteArray& bytes) {
    if (!Opened || WriteFails) {
        return false;
    }
    Writes.append({bytes, Scheduler.Now(), BaudRate});
    if (Responder) {
        Responder(bytes, *this);
    }
    return true;
}

QByteArray ScriptedSerialPort::ReadAll() {
    QByteArray all = Input;
    Input.clear();
    return all;
}

QByteArray ScriptedSerialPort::DiscardInput() {
    QByteArray thrown = Input;
    Input.clear();
    // What the system holds: arrivals whose moment has come, in the order
    // they came.
    QList<Arrival> due;
    for (const Arrival& arrival : Arrivals) {
        if (!arrival.Bytes.isEmpty() && arrival.Due <= Scheduler.Now()) {
            due.append(arrival);
        }
    }
    std::stable_sort(due.begin(), due.end(),
                     [](const Arrival& a, const Arrival& b) { return a.Due < b.Due; });
    for (const Arrival& arrival : due) {
        Scheduler.Cancel(arrival.Id);
        Forget(arrival.Id);
        if (Opened) {
            thrown += arrival.Bytes;
        }
    }
    Discards.append({thrown, Scheduler.Now(), static_cast<int>(Writes.size())});
    return thrown;
}

void ScriptedSerialPort::Deliver(const QByteArray& bytes, qint64 delayMs,
                                 const QList<int>& pieces) {
    qsizetype offset = 0;
    qint64 at = delayMs;
    auto post = [this](const QByteArray& piece, qint64 when) {
        auto id = std::make_shared<VirtualScheduler::ActionId>(0);
        *id = Scheduler.Post(when, [this, piece, id] {
            Forget(*id);
            if (Opened) {
                Input += piece;
                CheckThreshold();
            }
        });
        Arrivals.append({*id, Scheduler.Now() + qMax<qint64>(0, when), piece});
    };
    for (const int size : pieces) {
        if (offset >= bytes.size()) {
            break;
        }
        post(bytes.mid(offset, size), at++);
        offset += size;
    }
    if (offset < bytes.size()) {
        post(bytes.mid(offset), at);
    }
}

void ScriptedSerialPort::RaiseLineErrorLater() {
    auto id = std::make_shared<VirtualScheduler::ActionId>(0);
    *id = Scheduler.Post(0, [this, id] {
        Forget(*id);
        RaiseComm(CommEvent::LineError);
    });
    Arrivals.append({*id, Scheduler.Now(), {}});
}

void ScriptedSerialPort::CheckThreshold() {
    if (EventPosted || !Opened || Threshold <= 0 || Input.size() < Threshold) {
        return;
    }
    EventPosted = true;
    auto id = std::make_shared<VirtualScheduler::ActionId>(0);
    *id = Scheduler.Post(0, [this, id] {
        Forget(*id);
        EventPosted = false;
        if (Opened && Threshold > 0 && Input.size() >= Threshold) {
            RaiseComm(CommEvent::DataReceived);
        }
    });
    Arrivals.append({*id, Scheduler.Now(), {}});
}

MessageAnswer ScriptedMessageBoxes::Show(const QString& text, MessageIcon icon,
                                         MessageButtons buttons, const QString& title) {
    Log.append({text, icon, buttons, title, Scheduler ? Scheduler->Now() : 0});
    if (Scheduler && HoldOpenMs > 0) {
        Scheduler->Advance(HoldOpenMs);
    }
    if (!Answers.empty()) {
        const MessageAnswer answer = Answers.front();
        Answers.pop_front();
        return answer;
    }
    return buttons == MessageButtons::Ok ? MessageAnswer::Ok : MessageAnswer::Cancel;
}

void FakePause::Sleep(int milliseconds) {
    Pauses.append(milliseconds);
    Scheduler.PassTimeBlocked(milliseconds);
}

FileSystem::ReadResult MemoryFileSystem::ReadFile(const QString& path) {
    ReadResult result;
    if (Unreadable.contains(path)) {
        result.Error = QStringLiteral("permission denied");
    } else if (!Files.contains(path)) {
        result.Error = QStringLiteral("the file does not exist");
    } else {
        result.Ok = true;
        result.Bytes = Files.value(path);
    }
    return result;
}

QString MemoryFileSystem::WriteFileWhole(const QString& path, const QByteArray& bytes) {
    if (Unwritable.contains(path)) {
        return QStringLiteral("permission denied");
    }
    Files.insert(path, bytes);
    return {};
}

QStringList MemoryFileSystem::ListFiles(const QString& folder, const QString& pattern) {
    const QRegularExpression match(QRegularExpression::wildcardToRegularExpression(
                                       pattern, QRegularExpression::UnanchoredWildcardConversion),
                                   QRegularExpression::CaseInsensitiveOption);
    const QRegularExpression anchored(QRegularExpression::anchoredPattern(match.pattern()),
                                      QRegularExpression::CaseInsensitiveOption);
    QStringList names;
    const QString prefix = folder + QLatin1Char('/');
    for (auto it = Files.cbegin(); it != Files.cend(); ++it) {
        if (!it.key().startsWith(prefix) || Hidden.contains(it.key())) {
            continue;
        }
        const QString name = it.key().mid(prefix.size());
        if (!name.contains(QLatin1Char('/')) && anchored.match(name).hasMatch()) {
            names.append(name);
        }
    }
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        const int folded = a.compare(b, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a < b;
    });
    return names;
}

FileDialogResult ScriptedFileDialogs::Show(const FileDialogRequest& request) {
    Requests.append(request);
    if (Results.empty()) {
        return {};
    }
    FileDialogResult result = Results.front();
    Results.pop_front();
    return result;
}

bool MemoryKeyValueBackend::SetStringValue(std::uint32_t root, const std::string& keyPath,
                                           const std::string& valueName, const std::string& data) {
    if (WritesFail || root != HkeyLocalMachine) {
        return false;
    }
    ++Writes;
    Keys[keyPath][valueName] = Stored{RegTypeString, data};
    return true;
}

KeyValueBackend::Query MemoryKeyValueBackend::QueryValue(std::uint32_t root,
                                                         const std::string& keyPath,
                                                         const std::string& valueName,
                                                         std::size_t bufferSize) {
    Query result;
    const auto key = Keys.find(keyPath);
    if (root != HkeyLocalMachine || key == Keys.end()) {
        return result;
    }
    const auto value = key->second.find(valueName);
    if (value == key->second.end() || value->second.Data.size() > bufferSize) {
        return result;
    }
    result.Found = true;
    result.Type = value->second.Type;
    result.Data = value->second.Data;
    return result;
}
