// One simulated device on an in-process bus, the link core on top, and a recorder of what
// the operator sees. Timers run fast; the fault pause is skipped.
#pragma once

#include "LinkControl.h"
#include "SimUsbBus.h"
#include "ViewRecorder.h"

#include <QtTest>

struct LinkFixture {
    explicit LinkFixture(ktr::sim::DeviceConfig config = {},
                         ktr::LinkTimings timings = {60000, 5, 0})
        : Device(config), Link(Bus, View, timings) {
        Bus.Attach(Device);
        QObject::connect(&Link, &ktr::LinkControl::QueueDrained, [this] { ++Drained; });
    }

    // Runs the event loop until pred holds (true) or timeoutMs passes (false).
    template <class Pred> bool RunUntil(Pred pred, int timeoutMs = 5000) {
        QElapsedTimer clock;
        clock.start();
        while (!pred()) {
            if (clock.elapsed() > timeoutMs) return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        }
        return true;
    }

    // Connects and waits until the status answers have drained.
    bool Connect() {
        const int before = Drained;
        Link.ToolButton1Click();
        return RunUntil([&] { return Drained > before && Link.Queue().empty(); });
    }

    // OUT transfers whose frame has the given Type.
    std::vector<std::vector<uint8_t>> Sent(uint8_t type) const {
        std::vector<std::vector<uint8_t>> out;
        for (const auto& t : Device.OutTransfers())
            if (t.size() > 6 && t[6] == type) out.push_back(t);
        return out;
    }

    ktr::sim::SimUsbBus Bus;
    ktr::sim::DeviceModel Device;
    ViewRecorder View;
    ktr::LinkControl Link;
    int Drained = 0; // queues drained so far
};
