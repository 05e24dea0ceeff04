// How the simulated device's faults are planned: the fault texts of its
// command line, scripted faults by ordinal, and the seeded random draw.

#include <QTest>

#include "DeviceFaults.h"

class FaultPlanTest : public QObject {
    Q_OBJECT

private slots:
    void faultTexts_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("nth data block") << "data#3:silence" << true;
        QTest::newRow("every read") << "read*:badxor" << true;
        QTest::newRow("next with status") << "next:status=42" << true;
        QTest::newRow("status default byte") << "go:status" << true;
        QTest::newRow("refuse connect") << "connect:refuse" << true;
        QTest::newRow("nth of any kind") << "any#7:vanish" << true;
        QTest::newRow("random rates")
            << "random:silence=0.1,nack=0.2,lostdata=0,statusbyte=7f" << true;
        QTest::newRow("late by default") << "erase#2:late" << true;
        QTest::newRow("late by 1800 ms") << "read:late=1800" << true;
        QTest::newRow("twice, copy 20 ms later") << "write*:twice=20" << true;
        QTest::newRow("junk") << "go:junk" << true;
        QTest::newRow("random late replies")
            << "random:late=0.1,latems=1100-2000,afterlate=0.5,twice=0.01,junk=0.02" << true;
        QTest::newRow("random cut, stray, slow, babble")
            << "random:cut=0.1,stray=0.1,slow=0.1,babble=0.1" << true;
        QTest::newRow("an erase reply is not cut") << "erase:cut" << false;
        QTest::newRow("writing is never slow") << "write:slow" << false;
        QTest::newRow("only a data block is stored wrong") << "write:miswrite" << false;
        QTest::newRow("delay not a number") << "erase:late=soon" << false;
        QTest::newRow("value on junk") << "go:junk=3" << false;
        QTest::newRow("late bounds reversed") << "random:latems=2000-1100" << false;
        QTest::newRow("no action") << "data#3" << false;
        QTest::newRow("unknown exchange") << "bogus:silence" << false;
        QTest::newRow("unknown action") << "data:explode" << false;
        QTest::newRow("ordinal zero") << "write#0:nack" << false;
        QTest::newRow("ordinal not a number") << "write#x:nack" << false;
        QTest::newRow("nack on read has no status byte") << "read:nack" << false;
        QTest::newRow("model fault on erase") << "erase:wrongmodel" << false;
        QTest::newRow("status byte not hex") << "next:status=zz" << false;
        QTest::newRow("status byte too big") << "next:status=100" << false;
        QTest::newRow("value on silence") << "next:silence=1" << false;
        QTest::newRow("probability above one") << "random:silence=1.5" << false;
        QTest::newRow("unknown random fault") << "random:explode=0.1" << false;
        QTest::newRow("random without value") << "random:silence" << false;
    }
    void faultTexts() {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        FaultPlan plan;
        QString error;
        QCOMPARE(plan.AddFromText(text, &error), accepted);
        QCOMPARE(error.isEmpty(), accepted);
        if (!accepted) {
            QVERIFY(plan.ScriptedFaults().isEmpty());
            QVERIFY(!plan.Random().Any());
        }
    }

    void scriptedFaultsHitTheirExchangesOnly() {
        FaultPlan plan;
        QVERIFY(plan.AddFromText("data#3:drop", nullptr));
        QVERIFY(plan.AddFromText("read*:flip", nullptr));
        QVERIFY(plan.AddFromText("next:status=42", nullptr));

        // "next" is used up by the first exchange it applies to.
        FaultPlan::Choice first = plan.Pick(ExchangeKind::Connect, 1, 1);
        QCOMPARE(first.Fault, FaultKind::BadStatus);
        QCOMPARE(first.Status, quint8(0x42));
        QCOMPARE(plan.Pick(ExchangeKind::Connect, 2, 2).Fault, FaultKind::None);

        QCOMPARE(plan.Pick(ExchangeKind::DataBlock, 1, 3).Fault, FaultKind::None);
        QCOMPARE(plan.Pick(ExchangeKind::DataBlock, 2, 4).Fault, FaultKind::None);
        QCOMPARE(plan.Pick(ExchangeKind::DataBlock, 3, 5).Fault, FaultKind::DropReply);
        QCOMPARE(plan.Pick(ExchangeKind::DataBlock, 3, 6).Fault, FaultKind::None);  // used up

        for (int i = 1; i <= 3; ++i) {
            QCOMPARE(plan.Pick(ExchangeKind::ReadMemory, i, 6 + i).Fault, FaultKind::FlipByte);
        }
        QCOMPARE(plan.ScriptedFaults().size(), 1);
    }

    void randomFaultsFollowTheSeedAndTheRates() {
        RandomFaultRates rates;
        rates.Silence = 0.2;
        rates.CorruptRead = 0.3;
        rates.RefuseConnect = 1.0;
        auto draw = [&](quint32 seed) {
            FaultPlan plan;
            plan.SetRandom(rates, seed);
            QList<FaultKind> faults;
            for (int i = 1; i <= 2000; ++i) {
                faults.append(plan.Pick(ExchangeKind::ReadMemory, i, i).Fault);
            }
            return faults;
        };
        const QList<FaultKind> a = draw(7);
        QCOMPARE(draw(7), a);
        QVERIFY(draw(8) != a);

        // Silence is drawn first, then a corrupted block in either form;
        // refusing a Connect never applies to a read.
        const auto silences = a.count(FaultKind::Silence);
        const auto corrupted = a.count(FaultKind::CorruptXor) + a.count(FaultKind::FlipByte);
        QVERIFY2(silences > 300 && silences < 500, qPrintable(QString::number(silences)));
        QVERIFY2(corrupted > 380 && corrupted < 580, qPrintable(QString::number(corrupted)));
        QVERIFY(a.count(FaultKind::CorruptXor) > 0 && a.count(FaultKind::FlipByte) > 0);
        QCOMPARE(a.count(FaultKind::RefuseConnect), 0);

        FaultPlan plan;
        plan.SetRandom(rates, 7);
        for (int i = 1; i <= 100; ++i) {
            const FaultKind fault = plan.Pick(ExchangeKind::Connect, i, i).Fault;
            QVERIFY(fault == FaultKind::Silence || fault == FaultKind::RefuseConnect);
        }
    }

    // A late reply may bring a refusal of the next data block (a spoilt next
    // read block), whatever the random rates would draw for it.
    void lateReplyCanBringARefusalOfWhatFollows() {
        RandomFaultRates rates;
        rates.Late = 1.0;
        rates.LateMinMs = 1100;
        rates.LateMaxMs = 1200;
        rates.RefuseAfterLate = 1.0;
        FaultPlan plan;
        plan.SetRandom(rates, 3);
        const FaultPlan::Choice late = plan.Pick(ExchangeKind::EraseMemory, 1, 1);
        QCOMPARE(late.Fault, FaultKind::LateReply);
        QVERIFY(late.DelayMs >= 1100 && late.DelayMs <= 1200);
        QCOMPARE(plan.Pick(ExchangeKind::WriteMemory, 1, 2).Fault, FaultKind::LateReply);
        QCOMPARE(plan.Pick(ExchangeKind::DataBlock, 1, 3).Fault, FaultKind::Nack);
        QCOMPARE(plan.Pick(ExchangeKind::DataBlock, 2, 4).Fault, FaultKind::LateReply);
        QCOMPARE(plan.Pick(ExchangeKind::ReadMemory, 1, 5).Fault, FaultKind::CorruptXor);
    }
};

QTEST_GUILESS_MAIN(FaultPlanTest)
#include "FaultPlanTest.moc"
