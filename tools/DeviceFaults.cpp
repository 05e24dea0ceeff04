#include "DeviceFaults.h"

#include <QStringList>
#include <algorithm>

namespace {

const char* const ExchangeNames[ExchangeKindCount] = {"connect", "erase", "write",
                                                      "data",    "read",  "go"};

struct ActionName {
    const char* Name;
    FaultKind Fault;
};
const ActionName ActionNames[] = {
    {"silence", FaultKind::Silence},
    {"drop", FaultKind::DropReply},
    {"nack", FaultKind::Nack},
    {"status", FaultKind::BadStatus},
    {"badxor", FaultKind::CorruptXor},
    {"flip", FaultKind::FlipByte},
    {"refuse", FaultKind::RefuseConnect},
    {"wrongmodel", FaultKind::WrongModel},
    {"only9600", FaultKind::Only9600},
    {"vanish", FaultKind::Vanish},
    {"late", FaultKind::LateReply},
    {"twice", FaultKind::Twice},
    {"junk", FaultKind::Junk},
    {"cut", FaultKind::CutReply},
    {"stray", FaultKind::StrayBefore},
    {"slow", FaultKind::Slow},
    {"babble", FaultKind::Babble},
    {"miswrite", FaultKind::Miswrite},
};

constexpr int DefaultLateMs = 1500;
constexpr int DefaultCutHeadMs = 950;
constexpr int DefaultCutGapMs = 300;
constexpr int DefaultStrayTailMs = 40;
constexpr int DefaultSlowMs = 1700;
constexpr int MaxDelayMs = 60000;
constexpr int MaxJunkBytes = 8;

bool ParseByte(const QString& text, quint8& out) {
    bool ok = false;
    QString digits = text.trimmed();
    if (digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        digits = digits.mid(2);
    }
    const uint value = digits.toUInt(&ok, 16);
    if (!ok || digits.isEmpty() || value > 0xFF) {
        return false;
    }
    out = static_cast<quint8>(value);
    return true;
}

bool ParseDelay(const QString& text, int& out) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value < 0 || value > MaxDelayMs) {
        return false;
    }
    out = value;
    return true;
}

bool ParseProbability(const QString& text, double& out) {
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    if (!ok || !(value >= 0.0 && value <= 1.0)) {
        return false;
    }
    out = value;
    return true;
}

void SetError(QString* error, const QString& text) {
    if (error) {
        *error = text;
    }
}

}  // namespace

QString ExchangeKindName(ExchangeKind kind) {
    return QString::fromLatin1(ExchangeNames[static_cast<int>(kind)]);
}

QString FaultKindName(FaultKind fault) {
    if (fault == FaultKind::None) {
        return QStringLiteral("none");
    }
    for (const ActionName& action : ActionNames) {
        if (action.Fault == fault) {
            return QString::fromLatin1(action.Name);
        }
    }
    return QStringLiteral("?");
}

bool FaultAppliesTo(FaultKind fault, ExchangeKind kind) {
    const bool hasStatus = kind != ExchangeKind::ReadMemory;
    switch (fault) {
        case FaultKind::None:
        case FaultKind::Silence:
        case FaultKind::DropReply:
        case FaultKind::Vanish:
        case FaultKind::LateReply:
        case FaultKind::Twice:
        case FaultKind::Junk:
        case FaultKind::StrayBefore:
        case FaultKind::Babble:
            return true;
        case FaultKind::CutReply:
            return kind == ExchangeKind::Connect || kind == ExchangeKind::ReadMemory;
        case FaultKind::Slow:
            return kind == ExchangeKind::EraseMemory || kind == ExchangeKind::ReadMemory;
        case FaultKind::Nack:
        case FaultKind::BadStatus:
            return hasStatus;
        case FaultKind::CorruptXor:
        case FaultKind::FlipByte:
            return kind == ExchangeKind::ReadMemory;
        case FaultKind::RefuseConnect:
        case FaultKind::WrongModel:
        case FaultKind::Only9600:
            return kind == ExchangeKind::Connect;
        case FaultKind::Miswrite:
            return kind == ExchangeKind::DataBlock;
    }
    return false;
}

bool ChangesOnlyTheReply(FaultKind fault) {
    switch (fault) {
        case FaultKind::LateReply:
        case FaultKind::Twice:
        case FaultKind::Junk:
        case FaultKind::CutReply:
        case FaultKind::StrayBefore:
        case FaultKind::Slow:
        case FaultKind::Babble:
            return true;
        default:
            return false;
    }
}

bool RandomFaultRates::Any() const {
    return Silence > 0 || DropReply > 0 || LostDataReply > 0 || Nack > 0 || BadStatus > 0 ||
           CorruptRead > 0 || RefuseConnect > 0 || WrongModel > 0 || Only9600 > 0 || Vanish > 0 ||
           Late > 0 || Twice > 0 || Junk > 0 || Cut > 0 || Stray > 0 || Slow > 0 || Babble > 0;
}

void FaultPlan::SetRandom(const RandomFaultRates& rates, quint32 seed) {
    Rates = rates;
    Generator.seed(seed);
}

bool FaultPlan::Roll(double probability) {
    if (probability <= 0) {
        return false;
    }
    return std::uniform_real_distribution<double>(0.0, 1.0)(Generator) < probability;
}

bool FaultPlan::Coin() {
    return (Generator() & 1u) != 0;
}

// The junk bytes, and the refusal that a late reply may ask for.
FaultPlan::Choice FaultPlan::Complete(Choice choice) {
    if (choice.Fault == FaultKind::Junk || choice.Fault == FaultKind::StrayBefore) {
        const int n = choice.Fault == FaultKind::Junk
                          ? std::uniform_int_distribution<int>(1, MaxJunkBytes)(Generator)
                          : 1;
        for (int i = 0; i < n; ++i) {
            choice.Junk += static_cast<char>(Generator() & 0xFFu);
        }
    }
    if ((choice.Fault == FaultKind::LateReply || choice.Fault == FaultKind::Babble) &&
        Roll(Rates.RefuseAfterLate)) {
        FollowUpPending = true;
    }
    return choice;
}

FaultPlan::Choice FaultPlan::Pick(ExchangeKind kind, int ordinal, int anyOrdinal) {
    for (qsizetype i = 0; i < Scripted.size(); ++i) {
        const ScriptedFault& planned = Scripted[i];
        if (planned.Kind && *planned.Kind != kind) {
            continue;
        }
        if (!FaultAppliesTo(planned.Fault, kind)) {
            continue;
        }
        if (planned.Ordinal > 0 && planned.Ordinal != (planned.Kind ? ordinal : anyOrdinal)) {
            continue;
        }
        const Choice choice{planned.Fault, planned.Status, planned.DelayMs, {}, planned.SpanMs};
        if (!planned.Every) {
            Scripted.removeAt(i);
        }
        return Complete(choice);
    }
    if (FollowUpPending && (kind == ExchangeKind::DataBlock || kind == ExchangeKind::ReadMemory ||
                            kind == ExchangeKind::GoApplication)) {
        FollowUpPending = false;
        return {kind == ExchangeKind::ReadMemory ? FaultKind::CorruptXor : FaultKind::Nack,
                Rates.Status,
                0,
                {}};
    }
    if (!Rates.Any()) {
        return {};
    }
    const bool isConnect = kind == ExchangeKind::Connect;
    const bool isData = kind == ExchangeKind::DataBlock;
    const bool isRead = kind == ExchangeKind::ReadMemory;
    const struct {
        double Probability;
        bool Applies;
        FaultKind Fault;
    } draws[] = {
        {Rates.Silence, true, FaultKind::Silence},
        {Rates.DropReply, !isData, FaultKind::DropReply},
        {Rates.LostDataReply, isData, FaultKind::DropReply},
        {Rates.Nack, !isRead, FaultKind::Nack},
        {Rates.BadStatus, !isRead, FaultKind::BadStatus},
        {Rates.CorruptRead, isRead, FaultKind::CorruptXor},
        {Rates.RefuseConnect, isConnect, FaultKind::RefuseConnect},
        {Rates.WrongModel, isConnect, FaultKind::WrongModel},
        {Rates.Only9600, isConnect, FaultKind::Only9600},
        {Rates.Vanish, true, FaultKind::Vanish},
        {Rates.Late, true, FaultKind::LateReply},
        {Rates.Twice, true, FaultKind::Twice},
        {Rates.Junk, true, FaultKind::Junk},
        {Rates.Cut, isConnect || isRead, FaultKind::CutReply},
        {Rates.Stray, true, FaultKind::StrayBefore},
        {Rates.Slow, kind == ExchangeKind::EraseMemory || isRead, FaultKind::Slow},
        {Rates.Babble, true, FaultKind::Babble},
    };
    for (const auto& draw : draws) {
        if (draw.Applies && Roll(draw.Probability)) {
            FaultKind fault = draw.Fault;
            if (fault == FaultKind::CorruptXor && Coin()) {
                fault = FaultKind::FlipByte;
            }
            int delay = 0;
            int span = 0;
            if (fault == FaultKind::LateReply || fault == FaultKind::Slow ||
                fault == FaultKind::Babble) {
                delay = std::uniform_int_distribution<int>(
                    Rates.LateMinMs, std::max(Rates.LateMinMs, Rates.LateMaxMs))(Generator);
                span = fault == FaultKind::Babble ? Rates.BabbleMs : 0;
            } else if (fault == FaultKind::CutReply) {
                delay = Rates.CutHeadMs;
                span = Rates.CutGapMs;
            } else if (fault == FaultKind::StrayBefore) {
                delay = Rates.StrayTailMs;
            }
            return Complete({fault, Rates.Status, delay, {}, span});
        }
    }
    return {};
}

bool FaultPlan::AddFromText(const QString& text, QString* error) {
    const QString trimmed = text.trimmed();
    const qsizetype colon = trimmed.indexOf(u':');
    if (colon <= 0) {
        SetError(error, QStringLiteral("\"%1\": expected TARGET:ACTION").arg(text));
        return false;
    }
    const QString target = trimmed.left(colon).trimmed().toLower();
    const QString action = trimmed.mid(colon + 1).trimmed().toLower();

    if (target == QLatin1String("random")) {
        RandomFaultRates rates = Rates;
        for (const QString& item : action.split(u',', Qt::SkipEmptyParts)) {
            const QStringList pair = item.split(u'=');
            const QString name = pair.value(0).trimmed();
            if (pair.size() != 2) {
                SetError(error, QStringLiteral("\"%1\": expected NAME=VALUE").arg(item));
                return false;
            }
            if (name == QLatin1String("statusbyte")) {
                if (!ParseByte(pair[1], rates.Status)) {
                    SetError(error, QStringLiteral("\"%1\": not a byte in hex").arg(pair[1]));
                    return false;
                }
                continue;
            }
            if (name == QLatin1String("latems")) {
                const QStringList bounds = pair[1].split(u'-');
                int low = 0;
                int high = 0;
                if (bounds.size() != 2 || !ParseDelay(bounds[0], low) ||
                    !ParseDelay(bounds[1], high) || low > high) {
                    SetError(error,
                             QStringLiteral("\"%1\": expected latems=MIN-MAX in ms").arg(item));
                    return false;
                }
                rates.LateMinMs = low;
                rates.LateMaxMs = high;
                continue;
            }
            double* field = nullptr;
            if (name == QLatin1String("silence")) {
                field = &rates.Silence;
            } else if (name == QLatin1String("drop")) {
                field = &rates.DropReply;
            } else if (name == QLatin1String("lostdata")) {
                field = &rates.LostDataReply;
            } else if (name == QLatin1String("nack")) {
                field = &rates.Nack;
            } else if (name == QLatin1String("status")) {
                field = &rates.BadStatus;
            } else if (name == QLatin1String("corrupt")) {
                field = &rates.CorruptRead;
            } else if (name == QLatin1String("refuse")) {
                field = &rates.RefuseConnect;
            } else if (name == QLatin1String("wrongmodel")) {
                field = &rates.WrongModel;
            } else if (name == QLatin1String("only9600")) {
                field = &rates.Only9600;
            } else if (name == QLatin1String("vanish")) {
                field = &rates.Vanish;
            } else if (name == QLatin1String("late")) {
                field = &rates.Late;
            } else if (name == QLatin1String("twice")) {
                field = &rates.Twice;
            } else if (name == QLatin1String("junk")) {
                field = &rates.Junk;
            } else if (name == QLatin1String("cut")) {
                field = &rates.Cut;
            } else if (name == QLatin1String("stray")) {
                field = &rates.Stray;
            } else if (name == QLatin1String("slow")) {
                field = &rates.Slow;
            } else if (name == QLatin1String("babble")) {
                field = &rates.Babble;
            } else if (name == QLatin1String("afterlate")) {
                field = &rates.RefuseAfterLate;
            }
            if (!field) {
                SetError(error, QStringLiteral("\"%1\": unknown random fault").arg(name));
                return false;
            }
            if (!ParseProbability(pair[1], *field)) {
                SetError(error,
                         QStringLiteral("\"%1\": a probability is a number from 0 to 1").arg(item));
                return false;
            }
        }
        Rates = rates;  // the generator keeps its seed
        return true;
    }

    ScriptedFault fault;
    QString kindName = target;
    if (target == QLatin1String("next")) {
        kindName = QStringLiteral("any");
    } else if (target.endsWith(u'*')) {
        fault.Every = true;
        kindName.chop(1);
    } else if (const qsizetype hash = target.indexOf(u'#'); hash >= 0) {
        bool ok = false;
        fault.Ordinal = target.mid(hash + 1).toInt(&ok);
        if (!ok || fault.Ordinal < 1) {
            SetError(error, QStringLiteral("\"%1\": #N counts from 1").arg(target));
            return false;
        }
        kindName = target.left(hash);
    }
    if (kindName != QLatin1String("any")) {
        bool found = false;
        for (int i = 0; i < ExchangeKindCount; ++i) {
            if (kindName == QLatin1String(ExchangeNames[i])) {
                fault.Kind = static_cast<ExchangeKind>(i);
                found = true;
            }
        }
        if (!found) {
            SetError(error, QStringLiteral("\"%1\": unknown exchange (connect, erase, write, data, "
                                           "read, go, any, next)")
                                .arg(kindName));
            return false;
        }
    }

    QString actionName = action;
    QString argument;
    if (const qsizetype equals = action.indexOf(u'='); equals >= 0) {
        actionName = action.left(equals).trimmed();
        argument = action.mid(equals + 1);
    }
    bool known = false;
    for (const ActionName& candidate : ActionNames) {
        if (actionName == QLatin1String(candidate.Name)) {
            fault.Fault = candidate.Fault;
            known = true;
        }
    }
    if (!known) {
        SetError(error, QStringLiteral("\"%1\": unknown fault").arg(actionName));
        return false;
    }
    switch (fault.Fault) {
        case FaultKind::LateReply:
        case FaultKind::Babble:
            fault.DelayMs = DefaultLateMs;
            break;
        case FaultKind::CutReply:
            fault.DelayMs = DefaultCutHeadMs;
            fault.SpanMs = DefaultCutGapMs;
            break;
        case FaultKind::StrayBefore:
            fault.DelayMs = DefaultStrayTailMs;
            break;
        case FaultKind::Slow:
            fault.DelayMs = DefaultSlowMs;
            break;
        default:
            break;
    }
    if (!argument.isEmpty() || action.contains(u'=')) {
        const bool timed = fault.Fault == FaultKind::LateReply || fault.Fault == FaultKind::Twice ||
                           fault.Fault == FaultKind::CutReply ||
                           fault.Fault == FaultKind::StrayBefore || fault.Fault == FaultKind::Slow;
        const bool ok = fault.Fault == FaultKind::BadStatus ? ParseByte(argument, fault.Status)
                        : fault.Fault == FaultKind::Babble  ? ParseDelay(argument, fault.SpanMs)
                        : timed                             ? ParseDelay(argument, fault.DelayMs)
                                                            : false;
        if (!ok) {
            SetError(error, QStringLiteral("\"%1\": only status (a byte in hex), late, twice, "
                                           "cut, stray, slow and babble (milliseconds) take a "
                                           "value")
                                .arg(action));
            return false;
        }
    }
    if (fault.Kind && !FaultAppliesTo(fault.Fault, *fault.Kind)) {
        SetError(error, QStringLiteral("\"%1\" does not apply to %2")
                            .arg(actionName, ExchangeKindName(*fault.Kind)));
        return false;
    }
    Scripted.append(fault);
    return true;
}
