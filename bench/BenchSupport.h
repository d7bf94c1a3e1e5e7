// Shared by the benchmarks: a view that shows nothing, a connected in-process link, and
// the one output format, "name: value unit".
#pragma once

#include "LinkControl.h"
#include "NullView.h"
#include "SimUsbBus.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <cstdio>
#include <cstdlib>

using NullView = ktr::NullView;

struct BenchLink {
    explicit BenchLink(ktr::sim::DeviceConfig config = {}) : Device(config), Link(Bus, View) {
        Device.SetRecording(false);
        Bus.Attach(Device);
    }
    template <class Pred> void RunUntil(Pred pred) {
        while (!pred())
            QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    // Connects and waits for the status answers to drain.
    void Connect() {
        Link.Connect();
        RunUntil(
            [&] { return Link.LinkEstablished() && Link.Queue().empty() && Link.FlashSize(); });
    }
    ktr::sim::SimUsbBus Bus;
    ktr::sim::DeviceModel Device;
    NullView View;
    ktr::LinkControl Link;
};

// A file of bytes pseudo-random bytes, the same for the same size; a benchmark that cannot
// write it ends.
inline void WriteRandomImage(const QString& path, qsizetype bytes) {
    QByteArray image(bytes, Qt::Uninitialized);
    QRandomGenerator(quint32(bytes))
        .fillRange(reinterpret_cast<quint32*>(image.data()), image.size() / 4);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size()) {
        std::fprintf(stderr, "the image %s is not written\n", qPrintable(path));
        std::exit(1);
    }
}

// Poll ping-pong round trips per second against the in-process device.
inline double PollRoundTripsPerSecond(int milliseconds) {
    BenchLink b;
    b.Connect();
    const uint64_t start = b.Device.FramesReceivedOfType(ktr::cmdPoll);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    return (b.Device.FramesReceivedOfType(ktr::cmdPoll) - start) / (clock.nsecsElapsed() / 1e9);
}

inline void PrintFigure(const char* name, double value, const char* unit) {
    std::printf("%s: %.1f %s\n", name, value, unit);
    std::fflush(stdout);
}
