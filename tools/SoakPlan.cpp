#include "SoakPlan.h"

#include <algorithm>
#include <random>

namespace {

class Dice {
public:
    explicit Dice(quint32 seed) : Engine(seed) {}
    bool Chance(double p) {
        return p > 0 && std::uniform_real_distribution<double>(0, 1)(Engine) < p;
    }
    int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(Engine); }
    double Real(double low, double high) {
        return std::uniform_real_distribution<double>(low, high)(Engine);
    }
    quint8 Byte() { return static_cast<quint8>(Between(0, 255)); }

private:
    std::mt19937 Engine;
};

// Bytes that a framing fault could take for packets: headers of every
// command, acknowledgements, refusals, the marker.
QByteArray HostileBytes(Dice& dice, int size) {
    static const QByteArray pieces[] = {
        QByteArray::fromHex("5501001280"),
        QByteArray::fromHex("550200128060"),
        QByteArray::fromHex("55810000808052"),
        QByteArray::fromHex("55820102030103D5"),
        QByteArray::fromHex("5503009000"),
        QByteArray::fromHex("79"),
        QByteArray::fromHex("1F"),
        QByteArray::fromHex("55"),
    };
    QByteArray bytes;
    while (bytes.size() < size) {
        if (dice.Chance(0.7)) {
            bytes += pieces[dice.Between(0, 7)];
        } else {
            bytes += static_cast<char>(dice.Byte());
        }
    }
    bytes.truncate(size);
    return bytes;
}

QByteArray RandomBytes(Dice& dice, int size) {
    QByteArray bytes(size, '\0');
    for (char& b : bytes) {
        b = static_cast<char>(dice.Byte());
    }
    return bytes;
}

QByteArray Content(Dice& dice, int size) {
    const int style = dice.Between(0, 9);
    if (style < 6) {
        return RandomBytes(dice, size);
    }
    if (style < 8) {
        return HostileBytes(dice, size);
    }
    if (style < 9) {
        return QByteArray(size, static_cast<char>(0xFF));
    }
    return QByteArray(size, static_cast<char>(dice.Byte()));
}

// Bounds of an Update image: mostly random, often on the edges that the
// block arithmetic has to get right.
void DrawBounds(Dice& dice, SessionPlan& plan) {
    const int sizeClass = dice.Between(0, 99);
    int size = 0;
    if (sizeClass < 25) {
        size = dice.Between(1, 128);
    } else if (sizeClass < 65) {
        size = dice.Between(129, 4096);
    } else if (sizeClass < 90) {
        size = dice.Between(4097, 32768);
    } else {
        size = dice.Between(32769, ImageSize);
    }
    int low = dice.Between(0, ImageSize - size);
    const int edge = dice.Between(0, 9);
    if (edge == 0) {
        low &= ~127;  // starts on a block
    } else if (edge == 1) {
        low = ImageSize - size;  // ends at 0xFFFF
    } else if (edge == 2) {
        size = 1;  // one byte
    } else if (edge == 3 && low + size - 1 >= 128) {
        size = ((low + size - 1) & ~127) - low + 1;  // ends on the first byte of a block
        if (size < 1) {
            size = 1;
        }
    }
    plan.Low = low;
    plan.High = low + size - 1;
}

}  // namespace

quint32 SessionSeed(quint32 runSeed, int index) {
    // splitmix64 of the run seed and the index
    quint64 z =
        (static_cast<quint64>(runSeed) << 32 | static_cast<quint32>(index)) + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<quint32>(z ^ (z >> 31));
}

int SessionPlan::PlainExchanges() const {
    if (!Update) {
        return 1 + 256 + 1;
    }
    const int blocks = (High >> 7) - (Low >> 7) + 1;
    return 1 + 3 * blocks + 1;
}

SessionPlan MakeSessionPlan(quint32 seed, const SoakMix& mix) {
    Dice dice(seed);
    SessionPlan plan;
    plan.Seed = seed;
    plan.Update = dice.Chance(0.6);
    for (quint8& b : plan.Model) {
        b = dice.Byte();
    }
    plan.Version = {dice.Byte(), dice.Byte()};
    plan.DeviceMemory = Content(dice, ImageSize);
    plan.Image = RandomBytes(dice, ImageSize);
    if (plan.Update) {
        DrawBounds(dice, plan);
        const int size = plan.High - plan.Low + 1;
        plan.Image.replace(plan.Low, size, Content(dice, size));
    } else {
        plan.Low = 0;
        plan.High = 0x7FFF;
    }

    const double level = std::max(0.0, mix.Level);
    auto chance = [&](double p) { return dice.Chance(std::min(1.0, p * level)); };
    const int exchanges = plan.PlainExchanges();
    const int dataBlocks = plan.Update ? (exchanges - 2) / 3 : 0;
    // A per-exchange rate that makes the fault happen about 0.5 to 4 times.
    auto rate = [&](int over, double fewest = 0.5, double most = 4.0) {
        return over <= 0 ? 0.0 : std::min(0.5, dice.Real(fewest, most) / over);
    };
    RandomFaultRates& r = plan.Rates;
    if (chance(mix.PerExchangeKind)) {
        r.Silence = rate(exchanges);
    }
    if (chance(mix.PerExchangeKind)) {
        r.DropReply = rate(exchanges - dataBlocks);
    }
    if (plan.Update && chance(mix.PerExchangeKind)) {
        r.LostDataReply = rate(dataBlocks);
    }
    if (chance(mix.PerExchangeKind)) {
        r.Nack = rate(plan.Update ? exchanges : 2);
    }
    if (chance(mix.PerExchangeKind)) {
        r.BadStatus = rate(plan.Update ? exchanges : 2);
    }
    if (!plan.Update && chance(mix.PerExchangeKind)) {
        r.CorruptRead = rate(256);
    }
    // A noisy line: block replies refused or read blocks spoilt 8 to 40
    // times, enough to use up the session's ten resends unless the
    // watchdog's question comes in between.
    plan.Storm = chance(mix.Storm);
    if (plan.Storm && plan.Update) {
        r.Nack = rate(exchanges, 8.0, 40.0);
    } else if (plan.Storm) {
        r.CorruptRead = rate(256, 8.0, 40.0);
    }
    do {
        r.Status = dice.Byte();
    } while (r.Status == 0x79 || r.Status == 0x1F);
    plan.FaultSeed = dice.Between(0, 0x7FFFFFFF);

    // Faults of the Connect are scripted on one of the first Connects; the
    // vanishing on any exchange of the session.
    if (chance(mix.ReplyDuringQuestion)) {
        // The sixth Connect goes out at 5 s; its answer comes 1.1 to 2.5 s
        // later, while the question asked at 6 s is open for 2.5 to 3 s.
        for (int i = 1; i <= 5; ++i) {
            ScriptedFault f;
            f.Kind = ExchangeKind::Connect;
            f.Ordinal = i;
            f.Fault = FaultKind::Silence;
            plan.Scripted.append(f);
        }
        plan.LateConnect = 6;
        plan.FirstQuestionHoldMs = dice.Between(2500, 3000);
        // Read blocks split in two are on their way at most moments, also
        // when the question is answered.
        plan.SplitReplyRate = dice.Real(0.5, 1.0);
    }
    if (chance(mix.RefuseConnect)) {
        ScriptedFault f;
        f.Kind = ExchangeKind::Connect;
        f.Ordinal = dice.Chance(0.7) ? 1 : 2;
        f.Fault = FaultKind::RefuseConnect;
        plan.Scripted.append(f);
    }
    if (chance(mix.WrongModel)) {
        ScriptedFault f;
        f.Kind = ExchangeKind::Connect;
        f.Ordinal = dice.Chance(0.7) ? 1 : 2;
        f.Fault = FaultKind::WrongModel;
        plan.Scripted.append(f);
    }
    if (chance(mix.Only9600)) {
        ScriptedFault f;
        f.Kind = ExchangeKind::Connect;
        f.Every = true;
        f.Fault = FaultKind::Only9600;
        plan.Scripted.append(f);
    }
    if (chance(mix.Vanish)) {
        ScriptedFault f;
        f.Ordinal = dice.Between(1, exchanges);
        f.Fault = FaultKind::Vanish;
        plan.Scripted.append(f);
    }
    if (dice.Chance(mix.NoMarker)) {
        plan.Marker = false;
        plan.NoMarkerValue = dice.Chance(0.5) ? 0x00 : dice.Byte();
        if (plan.NoMarkerValue == 0x55) {
            plan.NoMarkerValue = 0x54;
        }
    }
    if (chance(mix.PortTrouble)) {
        plan.Port = dice.Chance(0.5) ? PortTrouble::Missing : PortTrouble::Busy;
    }
    if (chance(mix.SplitReplies)) {
        plan.SplitReplyRate = std::max(plan.SplitReplyRate, dice.Real(0.02, 0.9));
    }
    if (plan.SplitReplyRate > 0) {
        plan.LateReadBlocks = mix.LateReadBlocks;
    }

    plan.RetryChance = dice.Real(0.6, 0.95);
    plan.HoldChance = dice.Real(0.0, 0.6);
    if (chance(mix.OperatorCloses)) {
        plan.CloseAfterMs = dice.Between(0, 600);
    }
    // A slow line, repeated answers and stray bytes: drawn last, so that
    // everything drawn before stays what it was for a seed.
    if (chance(mix.LateReplies)) {
        r.Late = rate(exchanges, 0.7, 2.0);
        r.LateMinMs = 1100;
        r.LateMaxMs = 2000;
        r.RefuseAfterLate = 0.5;
    }
    if (chance(mix.Twice)) {
        r.Twice = rate(exchanges);
    }
    if (chance(mix.Junk)) {
        r.Junk = rate(exchanges);
    }
    if (chance(mix.StrayInPause)) {
        plan.PauseRepeatsConnect = dice.Chance(0.3);
        if (!plan.PauseRepeatsConnect) {
            plan.PauseStray = HostileBytes(dice, dice.Between(1, 16));
        }
    }
    // Replies cut by the watchdog's second, stray bytes before answers, slow
    // blocks served once per copy and a babbling line: drawn after all else.
    const int longReplies = plan.Update ? 1 : 1 + 256;
    if (chance(mix.CutReplies)) {
        r.Cut = rate(longReplies, 0.5, 2.0);
    }
    if (chance(mix.StrayBefore)) {
        r.Stray = rate(exchanges);
    }
    if (chance(mix.SlowBlocks)) {
        r.Slow = rate(plan.Update ? dataBlocks : 256, 0.5, 1.5);
        r.LateMinMs = 1100;
        r.LateMaxMs = 2000;
    }
    if (chance(mix.Babble)) {
        r.Babble = rate(exchanges, 0.5, 1.5);
        r.LateMinMs = 1100;
        r.LateMaxMs = 2000;
        r.BabbleMs = dice.Chance(1.0 / 3) ? 0 : dice.Between(300, 6000);
    }
    if (chance(mix.SlowBoard)) {
        plan.ReplyDelayMs = dice.Between(1100, 2000);
    } else if (chance(mix.LateSwitchOn)) {
        plan.AsleepMs = dice.Between(1000, 9000);
    } else if (chance(mix.PrintingBoard)) {
        plan.TextEveryMs = dice.Between(500, 1500);
        plan.AsleepMs = dice.Chance(0.25) ? -1 : dice.Between(2000, 9000);
    }
    plan.Flash = chance(mix.FlashBoard);
    return plan;
}

QString SessionPlan::BoardKind() const {
    if (ReplyDelayMs > 0) {
        return QStringLiteral("slow");
    }
    if (TextEveryMs > 0) {
        return QStringLiteral("text");
    }
    if (AsleepMs != 0) {
        return QStringLiteral("late-on");
    }
    return Flash ? QStringLiteral("flash") : QString();
}

QString SessionPlan::Describe() const {
    QString text = Update ? QStringLiteral("update %1..%2")
                                .arg(Low, 4, 16, QLatin1Char('0'))
                                .arg(High, 4, 16, QLatin1Char('0'))
                          : QStringLiteral("read");
    if (!Marker) {
        text += QStringLiteral(" no-marker");
    }
    if (Storm) {
        text += QStringLiteral(" storm");
    }
    if (Port == PortTrouble::Missing) {
        text += QStringLiteral(" port-missing");
    } else if (Port == PortTrouble::Busy) {
        text += QStringLiteral(" port-busy");
    }
    if (LateConnect > 0) {
        text += QStringLiteral(" reply-during-question");
    }
    if (SplitReplyRate > 0) {
        text += QStringLiteral(" split=%1%2")
                    .arg(SplitReplyRate, 0, 'f', 2)
                    .arg(LateReadBlocks ? QStringLiteral("+late-reads") : QString());
    }
    if (CloseAfterMs >= 0) {
        text += QStringLiteral(" close@%1ms").arg(CloseAfterMs);
    }
    if (Rates.Late > 0) {
        text += QStringLiteral(" late");
    }
    if (Rates.Cut > 0) {
        text += QStringLiteral(" cut");
    }
    if (Rates.Stray > 0) {
        text += QStringLiteral(" stray-before");
    }
    if (Rates.Slow > 0) {
        text += QStringLiteral(" slow");
    }
    if (Rates.Babble > 0) {
        text += Rates.BabbleMs > 0 ? QStringLiteral(" babble=%1ms").arg(Rates.BabbleMs)
                                   : QStringLiteral(" babble-for-good");
    }
    if (ReplyDelayMs > 0) {
        text += QStringLiteral(" answers-in=%1ms").arg(ReplyDelayMs);
    }
    if (AsleepMs != 0) {
        text += QStringLiteral(" switched-on@%1ms").arg(AsleepMs);
    }
    if (TextEveryMs > 0) {
        text += QStringLiteral(" prints-text-every=%1ms").arg(TextEveryMs);
    }
    if (Flash) {
        text += QStringLiteral(" flash+keeps-block");
    }
    if (PauseRepeatsConnect) {
        text += QStringLiteral(" pause:connect-again");
    } else if (!PauseStray.isEmpty()) {
        text += QStringLiteral(" pause:stray=%1").arg(PauseStray.size());
    }
    return text;
}
