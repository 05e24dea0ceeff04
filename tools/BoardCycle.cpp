#include "BoardCycle.h"

#include "SimulatedDevice.h"

BoardCycle::BoardCycle(SimulatedDevice& device, const BoardCycleSettings& settings, QObject* parent)
    : QObject(parent), Device(device), Set(settings) {
    Dwell.setSingleShot(true);
    Next.setSingleShot(true);
    connect(&Dwell, &QTimer::timeout, this, &BoardCycle::TakeOut);
    connect(&Next, &QTimer::timeout, this, &BoardCycle::PutIn);
    connect(&Device, &SimulatedDevice::RequestHandled, this, [this](ExchangeKind kind, FaultKind) {
        if (In && kind != ExchangeKind::Connect && Set.DwellMs >= 0) {
            Dwell.start(Set.DwellMs);
        }
    });
    connect(&Device, &SimulatedDevice::ApplicationStarted, this, [this](int) {
        if (In && Set.AfterGo != BoardCycleSettings::App::Bootloader) {
            const bool printing = Set.AfterGo == BoardCycleSettings::App::Printing;
            Device.SetAsleep(-1, printing ? Set.TextEveryMs : 0);
        }
    });
}

void BoardCycle::Start() {
    if (Set.ArriveMs <= 0) {
        PutIn();
        return;
    }
    Absent();
    Next.start(Set.ArriveMs);
}

void BoardCycle::Absent() {
    if (Set.Unplug) {
        Device.Unplug();
    } else {
        Device.SetAsleep(-1);
    }
}

void BoardCycle::PutIn() {
    if (In) {
        return;
    }
    if (Set.Unplug && !Device.IsRunning() && !Device.Start()) {
        return;
    }
    ++Board;
    In = true;
    Device.FillMemory(0xFF);
    Device.SetAsleep(0);
    if (Set.DwellMs >= 0) {
        Dwell.start(Set.DwellMs);
    }
    emit BoardIn(Board);
}

void BoardCycle::TakeOut() {
    if (!In) {
        return;
    }
    In = false;
    Absent();
    emit BoardOut(Board);
    if (Set.NextMs >= 0 && (Set.Boards == 0 || Board < Set.Boards)) {
        Next.start(Set.NextMs);
    }
}
