#pragma once

// The simulated device living on a thread of its own, as a separate device
// answers independently of the program's event loop. Everything it does runs
// there; a bench reaches it only through Call, which waits for the work to
// finish on the device's thread. Every packet it receives or sends is
// stamped with the time it passed.

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <chrono>
#include <functional>
#include <vector>

#include "SimulatedDevice.h"

class DeviceThread {
public:
    using Clock = std::chrono::steady_clock;

    // One packet as the device saw it.
    struct Stamp {
        Clock::time_point Time;
        bool In = false;  // to the device (a request) or from it (a reply)
        int Bytes = 0;
    };

    DeviceThread() {
        Context = new QObject;
        Context->moveToThread(&Thread);
        QObject::connect(&Thread, &QThread::finished, Context, &QObject::deleteLater);
        Thread.start();
        Call([this] {
            Device = new SimulatedDevice;
            Device->SetTrafficLimit(0);
            Device->SetTrafficSink([this](const TrafficRecord& record) {
                if (record.Dir != TrafficRecord::Direction::Note) {
                    Stamps.push_back({Clock::now(), record.Dir == TrafficRecord::Direction::In,
                                      static_cast<int>(record.Bytes.size())});
                }
            });
        });
    }

    ~DeviceThread() {
        Call([this] { delete Device; });
        Thread.quit();
        Thread.wait();
    }

    DeviceThread(const DeviceThread&) = delete;
    DeviceThread& operator=(const DeviceThread&) = delete;

    void Call(const std::function<void()>& work) {
        QMetaObject::invokeMethod(Context, work, Qt::BlockingQueuedConnection);
    }

    // The gaps, in ms, between a reply (its last piece) and the next request,
    // from the stamps of one session; the one after the Connect reply (the
    // prescribed pause before the first erase) is left out.
    static std::vector<double> ReplyToRequestGaps(const std::vector<Stamp>& stamps) {
        std::vector<double> gaps;
        bool sawReply = false;
        int requests = 0;
        Clock::time_point lastOut;
        for (const Stamp& stamp : stamps) {
            if (!stamp.In) {
                sawReply = true;
                lastOut = stamp.Time;
                continue;
            }
            if (sawReply && ++requests > 1) {
                gaps.push_back(
                    std::chrono::duration<double, std::milli>(stamp.Time - lastOut).count());
            }
            sawReply = false;
        }
        return gaps;
    }

    SimulatedDevice* Device = nullptr;  // used on the device's thread only
    std::vector<Stamp> Stamps;          // likewise

private:
    QThread Thread;
    QObject* Context;
};
