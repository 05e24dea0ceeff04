#include "SoakJudge.h"

#include <QRegularExpression>

namespace {

constexpr int ReadSessionGoAddress = 0x9000;

bool IsQuestion(const ShownMessage& m) {
    return m.Text == QuestionText;
}

// The failure text shows the page and the low byte in hexadecimal without
// leading zeros and without a separator: "125" may be 12 05 or 1 25. True
// when one way of reading it gives an address between low and high.
bool FailureAddressFits(const QString& digits, int low, int high) {
    static const QRegularExpression hex(QStringLiteral("^[0-9A-F]+$"));
    if (!hex.match(digits).hasMatch()) {
        return false;
    }
    for (int split = 1; split < digits.size(); ++split) {
        const QString page = digits.left(split);
        const QString lowByte = digits.mid(split);
        if ((page.size() > 1 && page.startsWith(u'0')) ||
            (lowByte.size() > 1 && lowByte.startsWith(u'0'))) {
            continue;
        }
        const int address = page.toInt(nullptr, 16) * 256 + lowByte.toInt(nullptr, 16);
        if (lowByte.toInt(nullptr, 16) < 256 && address >= low && address <= high) {
            return true;
        }
    }
    return false;
}

int FirstDifference(const QByteArray& a, const QByteArray& b, int from, int to) {
    for (int i = from; i <= to; ++i) {
        if (a[i] != b[i]) {
            return i;
        }
    }
    return -1;
}

class Checker {
public:
    Checker(const SessionPlan& plan, const SessionRecord& record) : Plan(plan), Rec(record) {}

    Judgement Run() {
        Judgement j;
        j.Ending = Classify();
        CheckEnding(j.Ending);
        CheckOutcome(j.Ending);
        CheckAlways();
        CheckMemory(j.Ending);
        CheckProgress(j.Ending);
        j.Violations = Violations;
        return j;
    }

private:
    void Fail(const QString& text) { Violations.append(text); }

    // The session's boxes whose answers still counted: a box answered after
    // the session had ended (a question held open while a late reply carried
    // the session to its end) changes nothing.
    QList<ShownMessage> SessionMessages() const {
        QList<ShownMessage> list;
        for (const ShownMessage& m : Rec.Messages) {
            if (!m.FromCaller && !m.AnsweredAfterEnd) {
                list.append(m);
            }
        }
        return list;
    }

    SessionEnding Classify() {
        if (Rec.Hung) {
            return SessionEnding::Hang;
        }
        if (Rec.ClosedByOperator) {
            return SessionEnding::ClosedByOperator;
        }
        const QList<ShownMessage> shown = SessionMessages();
        // Before the message that ends it, a session shows only the
        // watchdog's question, answered with Retry.
        for (qsizetype i = 0; i + 1 < shown.size(); ++i) {
            if (!IsQuestion(shown[i]) || shown[i].Answer != MessageAnswer::Retry) {
                Fail(QStringLiteral("\"%1\" was followed by \"%2\": more than one ending")
                         .arg(shown[i].Text, shown[i + 1].Text));
            }
        }
        if (shown.isEmpty() ||
            (IsQuestion(shown.last()) && shown.last().Answer == MessageAnswer::Retry)) {
            return Rec.Succeeded ? SessionEnding::Success : SessionEnding::Refused;
        }
        const ShownMessage& last = shown.last();
        if (IsQuestion(last)) {
            return SessionEnding::Cancelled;
        }
        if (last.Text == ReselectPortText) {
            return SessionEnding::PortUnusable;
        }
        if (last.Text == ModelErrorText) {
            return SessionEnding::ModelError;
        }
        if (last.Text.startsWith(TransferFailurePrefix)) {
            return SessionEnding::TransferFailure;
        }
        Fail(QStringLiteral("unknown message \"%1\"").arg(last.Text));
        return SessionEnding::Unclassified;
    }

    int InjectedTrouble() const {
        // A board that answers late, is switched on late or still prints
        // text is trouble; flash that is written as the program meant is not.
        const bool board = Plan.ReplyDelayMs > 0 || Plan.AsleepMs != 0 || Plan.TextEveryMs > 0;
        return Rec.Device.FaultsInjected + Rec.LateReplies + Rec.StrayBytesInPause +
               (Plan.Port != PortTrouble::None ? 1 : 0) + (Rec.ClosedByOperator ? 1 : 0) +
               (board ? 1 : 0);
    }

    bool DeviceUntouched() const {
        return Rec.Device.BlocksErased == 0 && Rec.Device.BlocksWritten == 0 &&
               Rec.Device.ApplicationStarts == 0;
    }

    void CheckEnding(SessionEnding ending) {
        const DeviceCounters& c = Rec.Device;
        const bool succeeded = ending == SessionEnding::Success;
        if (Rec.Succeeded != succeeded) {
            Fail(QStringLiteral("SessionSucceeded is %1 after the ending %2")
                     .arg(Rec.Succeeded ? "true" : "false", EndingName(ending)));
        }
        switch (ending) {
            case SessionEnding::Success: {
                const int expected = Plan.Update ? Plan.Low : ReadSessionGoAddress;
                if (c.ApplicationStarts < 1) {
                    Fail(QStringLiteral("success, but the device never started its application"));
                } else if (Rec.ApplicationAddress != expected) {
                    Fail(QStringLiteral("the application was started at %1, not %2")
                             .arg(Rec.ApplicationAddress, 4, 16, QLatin1Char('0'))
                             .arg(expected, 4, 16, QLatin1Char('0')));
                }
                const QString step =
                    Plan.Update ? QStringLiteral("Update") : QStringLiteral("读取固件");
                if (Rec.Captions != QStringList{step}) {
                    Fail(QStringLiteral("window captions %1, not %2")
                             .arg(Rec.Captions.join(u'|'), step));
                }
                break;
            }
            case SessionEnding::ModelError:
                if (!Plan.Update || !Plan.Marker || c.Of(FaultKind::WrongModel) == 0) {
                    Fail(QStringLiteral("Model Error without a wrong model reported"));
                }
                if (!DeviceUntouched()) {
                    Fail(QStringLiteral("Model Error after the device was erased or written"));
                }
                break;
            case SessionEnding::Refused:
                if (!Plan.Update || c.Of(FaultKind::RefuseConnect) == 0) {
                    Fail(
                        QStringLiteral("the window closed without a message, but nothing "
                                       "refused the update"));
                }
                if (!DeviceUntouched()) {
                    Fail(QStringLiteral("refused after the device was erased or written"));
                }
                break;
            case SessionEnding::TransferFailure: {
                const QString digits =
                    SessionMessages().last().Text.mid(TransferFailurePrefix.size());
                if (!FailureAddressFits(digits, Plan.Low, Plan.High)) {
                    Fail(QStringLiteral("the failure address \"%1\" is not one of the image")
                             .arg(digits));
                }
                break;
            }
            case SessionEnding::PortUnusable:
                if (SessionMessages().size() != 1) {
                    Fail(QStringLiteral("other messages beside \"Please reselect COM port!\""));
                }
                if (c.Exchanges != 0 || c.UnreadableBytes != 0 || c.SkippedBytes != 0) {
                    Fail(
                        QStringLiteral("bytes reached the device through a port that did not "
                                       "open"));
                }
                if (!Rec.Captions.isEmpty()) {
                    Fail(QStringLiteral("the caption was set although the port did not open"));
                }
                break;
            case SessionEnding::Hang:
                Fail(QStringLiteral("the session did not end"));
                break;
            case SessionEnding::Cancelled:
            case SessionEnding::ClosedByOperator:
            case SessionEnding::Unclassified:
                break;
        }
        if ((Plan.Port != PortTrouble::None) != (ending == SessionEnding::PortUnusable) &&
            ending != SessionEnding::Hang) {
            Fail(Plan.Port != PortTrouble::None
                     ? QStringLiteral("the port could not be opened, but the session went on")
                     : QStringLiteral("\"Please reselect COM port!\" for a usable port"));
        }
        // Without any fault a session succeeds, and the operator is never asked.
        if (InjectedTrouble() == 0) {
            if (ending != SessionEnding::Success) {
                Fail(QStringLiteral("no fault was injected, yet the session ended with %1")
                         .arg(EndingName(ending)));
            }
            for (const ShownMessage& m : Rec.Messages) {
                if (IsQuestion(m)) {
                    Fail(
                        QStringLiteral("the operator was asked although no fault was "
                                       "injected"));
                    break;
                }
            }
        }
    }

    // The session's own record of its ending agrees with what it showed and
    // left behind.
    void CheckOutcome(SessionEnding ending) {
        if (!Rec.Outcome) {
            return;
        }
        SessionEnding own = SessionEnding::Unclassified;
        switch (*Rec.Outcome) {
            case SessionOutcome::Success:
                own = SessionEnding::Success;
                break;
            case SessionOutcome::ModelError:
                own = SessionEnding::ModelError;
                break;
            case SessionOutcome::Refused:
                own = SessionEnding::Refused;
                break;
            case SessionOutcome::TransferFailure:
                own = SessionEnding::TransferFailure;
                break;
            case SessionOutcome::PortNotOpened:
                own = SessionEnding::PortUnusable;
                break;
            case SessionOutcome::Cancelled:
                own = SessionEnding::Cancelled;
                break;
            case SessionOutcome::Closed:
                own = Rec.Hung ? SessionEnding::Hang : SessionEnding::ClosedByOperator;
                break;
            case SessionOutcome::Running:
                break;
        }
        if (own != ending) {
            Fail(QStringLiteral("the session decided on %1 but ended as %2")
                     .arg(EndingName(own), EndingName(ending)));
        }
    }

    void CheckAlways() {
        // A message of the session (not the question) still open when the
        // session came to its end: the session went on behind it.
        for (const ShownMessage& m : Rec.Messages) {
            if (!m.FromCaller && !IsQuestion(m) && m.AnsweredAfterEnd) {
                Fail(QStringLiteral("\"%1\" was still open when the session ended otherwise")
                         .arg(m.Text));
            }
        }
        if (!Rec.Hung && !Rec.ClosedByOperator && Rec.WindowCloses != 1) {
            Fail(QStringLiteral("the window was closed %1 times").arg(Rec.WindowCloses));
        }
        if (Rec.PortOpenAfter) {
            Fail(QStringLiteral("the port is still open after the session"));
        }
        if (Rec.TimerArmedAfter) {
            Fail(QStringLiteral("Timer1 is still armed after the session"));
        }
        if (Rec.ModeUpdateAfter || Rec.ModeReadAfter) {
            Fail(QStringLiteral("SessionMode was not cleared"));
        }
        // Every box of the session: critical, OK (the question: Retry and
        // Cancel), titled with the program's title. The caller's success
        // message: exactly when the session succeeded.
        int callerMessages = 0;
        for (const ShownMessage& m : Rec.Messages) {
            if (m.Title != SoakTitle) {
                Fail(QStringLiteral("\"%1\" has the title \"%2\"").arg(m.Text, m.Title));
            }
            if (m.FromCaller) {
                ++callerMessages;
                const QString expected = Plan.Update ? UpdateSuccessText : ReadSuccessText;
                if (m.Text != expected || m.Icon != MessageIcon::Exclamation) {
                    Fail(QStringLiteral("the main window showed \"%1\"").arg(m.Text));
                }
                continue;
            }
            const MessageButtons buttons =
                IsQuestion(m) ? MessageButtons::RetryCancel : MessageButtons::Ok;
            if (m.Icon != MessageIcon::Critical || m.Buttons != buttons) {
                Fail(QStringLiteral("\"%1\" has the wrong icon or buttons").arg(m.Text));
            }
        }
        if (callerMessages != (Rec.Succeeded ? 1 : 0)) {
            Fail(QStringLiteral("%1 success messages for a session that %2")
                     .arg(callerMessages)
                     .arg(Rec.Succeeded ? "succeeded" : "did not succeed"));
        }
        if (Rec.Device.MalformedRequests != 0) {
            Fail(QStringLiteral("the device received %1 malformed requests")
                     .arg(Rec.Device.MalformedRequests));
        }
    }

    void CheckMemory(SessionEnding ending) {
        const QByteArray& before = Plan.DeviceMemory;
        const QByteArray& after = Rec.MemoryAfter;
        if (after.size() != ImageSize || Rec.ImageAfter.size() != ImageSize) {
            Fail(QStringLiteral("memory or image missing from the record"));
            return;
        }
        const int last = ImageSize - 1;
        if (!Plan.Update) {
            int at = FirstDifference(before, after, 0, last);
            if (at >= 0) {
                Fail(QStringLiteral("a read session changed device memory at %1").arg(at, 4, 16));
            }
            at = FirstDifference(Plan.Image, Rec.ImageAfter, 0x8000, last);
            if (at >= 0) {
                Fail(QStringLiteral("a read session changed the image at %1").arg(at, 4, 16));
            }
            if (ending == SessionEnding::Success) {
                at = FirstDifference(before, Rec.ImageAfter, 0, 0x7FFF);
                if (at >= 0) {
                    Fail(QStringLiteral("read image differs from device memory at %1")
                             .arg(at, 4, 16, QLatin1Char('0')));
                }
            }
            return;
        }
        if (FirstDifference(Plan.Image, Rec.ImageAfter, 0, last) >= 0) {
            Fail(QStringLiteral("an update session changed the image"));
        }
        // Only the blocks of the image may change, and only by being erased
        // and written.
        const int firstBlock = Plan.Low & ~127;
        const int lastByte = Plan.High | 127;
        int at = FirstDifference(before, after, 0, firstBlock - 1);
        if (at < 0) {
            at = FirstDifference(before, after, lastByte + 1, last);
        }
        if (at >= 0) {
            Fail(QStringLiteral("device memory outside the image's blocks changed at %1")
                     .arg(at, 4, 16, QLatin1Char('0')));
        }
        const bool untouched = ending == SessionEnding::ModelError ||
                               ending == SessionEnding::Refused ||
                               ending == SessionEnding::PortUnusable;
        if (untouched && FirstDifference(before, after, 0, last) >= 0) {
            Fail(
                QStringLiteral("device memory changed although the session never got past "
                               "Connect"));
        }
        if (ending != SessionEnding::Success) {
            return;
        }
        at = FirstDifference(Plan.Image, after, Plan.Low, Plan.High);
        if (at >= 0) {
            Fail(QStringLiteral("after success device memory differs from the image at %1")
                     .arg(at, 4, 16, QLatin1Char('0')));
        }
        for (int i = firstBlock; i <= lastByte; ++i) {
            if ((i < Plan.Low || i > Plan.High) && static_cast<quint8>(after[i]) != 0xFF) {
                Fail(QStringLiteral("erased byte %1 beside the image is not 0xFF")
                         .arg(i, 4, 16, QLatin1Char('0')));
                break;
            }
        }
    }

    void CheckProgress(SessionEnding ending) {
        static const QRegularExpression text(QStringLiteral("^Complete:([1-9][0-9]{0,2})?%$"));
        float previous = 0.0f;
        for (const float f : Rec.Progress) {
            if (!(f >= 0.0f && f <= 1.0f) || f < previous) {
                Fail(QStringLiteral("progress went from %1 to %2").arg(previous).arg(f));
                break;
            }
            previous = f;
        }
        for (const QString& t : Rec.ProgressTexts) {
            if (!text.match(t).hasMatch()) {
                Fail(QStringLiteral("progress text \"%1\"").arg(t));
                break;
            }
        }
        if (ending == SessionEnding::Success &&
            (Rec.Progress.isEmpty() || Rec.Progress.last() != 1.0f || Rec.ProgressTexts.isEmpty() ||
             Rec.ProgressTexts.last() != "Complete:100%")) {
            Fail(QStringLiteral("success, but the progress ended at \"%1\"")
                     .arg(Rec.ProgressTexts.isEmpty() ? QString() : Rec.ProgressTexts.last()));
        }
    }

    const SessionPlan& Plan;
    const SessionRecord& Rec;
    QStringList Violations;
};

}  // namespace

QString EndingName(SessionEnding ending) {
    switch (ending) {
        case SessionEnding::Success:
            return QStringLiteral("success");
        case SessionEnding::ModelError:
            return QStringLiteral("Model Error");
        case SessionEnding::Refused:
            return QStringLiteral("Connect refused");
        case SessionEnding::TransferFailure:
            return QStringLiteral("transfer failure");
        case SessionEnding::PortUnusable:
            return QStringLiteral("port could not be opened");
        case SessionEnding::Cancelled:
            return QStringLiteral("operator cancelled");
        case SessionEnding::ClosedByOperator:
            return QStringLiteral("window closed by operator");
        case SessionEnding::Hang:
            return QStringLiteral("hang");
        case SessionEnding::Unclassified:
            break;
    }
    return QStringLiteral("unclassified");
}

Judgement JudgeSession(const SessionPlan& plan, const SessionRecord& record) {
    return Checker(plan, record).Run();
}
