// The production station on the in-process bus, with its default scan and link timings and a
// journal: how long after a device is plugged in the station's link sends it a first frame,
// and how much longer plug-in to recorded result takes than the same write and verify of a
// 64 KiB FLASH image over a link already open. Each device goes into the same socket after
// the one before has been recorded and removed, at a random point of the scan period.
#include "BenchSupport.h"
#include "DeviceSession.h"
#include "ImageJob.h"
#include "Station.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <deque>
#include <vector>

using namespace ktr;

namespace {

constexpr int kRuns = 7;
constexpr int kImageBytes = 64 * 1024;
const std::string kSocket = "1-1";

template <class Pred> void RunUntil(Pred pred) {
    while (!pred())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// Lets the event loop run for ms, so that the station's timers go on.
void Pause(int ms) {
    bool over = false;
    QTimer::singleShot(ms, [&] { over = true; });
    RunUntil([&] { return over; });
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

JobRules StationRules() {
    return {JobRules::Format::ByExtension, true, true, true};
}

// Seconds from a ready session to the end of the write and verify of image.
double AloneSeconds(const QString& image) {
    sim::SimUsbBus bus;
    sim::DeviceModel device;
    device.SetRecording(false);
    bus.Attach(device);
    NullView view;
    LinkControl link(bus, view);
    WriteJobs files(link);
    files.SetRules(StationRules());
    DeviceSession session(link, StationConfig{}.LinkTimeoutS);
    bool ready = false;
    QObject::connect(&session, &DeviceSession::Ready, [&] { ready = true; });
    session.Connect();
    RunUntil([&] { return ready; });
    ImageJob job(files, {{Memory::Flash, image}}, true);
    bool finished = false;
    QObject::connect(&job, &Job::Finished, [&](const JobOutcome& outcome) {
        finished = true;
        if (outcome.End != JobEnd::Done) std::fprintf(stderr, "bench_station: write failed\n");
    });
    QElapsedTimer clock;
    clock.start();
    job.Start();
    RunUntil([&] { return finished; });
    const double seconds = clock.nsecsElapsed() / 1e9;
    link.CloseLink();
    return seconds;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("image.bin"));
    WriteRandomImage(image, kImageBytes);
    sim::SimUsbBus bus;
    StationConfig config;
    config.Images = {{Memory::Flash, image}};
    config.JournalFile = dir.filePath(QStringLiteral("journal.jsonl"));
    Station station(bus, config);
    int recorded = 0;
    QObject::connect(&station, &Station::Recorded, [&](const JournalRecord& record) {
        ++recorded;
        if (record.Status != kExitDone)
            std::fprintf(stderr, "bench_station: a device failed: %s\n",
                         qPrintable(record.Message));
    });
    if (const Verdict start = station.Start(); start.Status != kExitDone) {
        std::fprintf(stderr, "bench_station: %s\n", qPrintable(start.Message));
        return 1;
    }

    QRandomGenerator phase(kRuns);
    std::deque<sim::DeviceModel> devices; // the bus keeps pointers to them
    std::vector<double> detectMs, servedS;
    for (int run = 0; run < kRuns; ++run) {
        Pause(int(phase.bounded(config.ScanMs)));
        sim::DeviceModel& device = devices.emplace_back();
        device.SetRecording(false);
        bus.Attach(device);
        bus.SetPortPath(device, kSocket);
        QElapsedTimer clock;
        clock.start();
        RunUntil([&] { return device.FramesReceived() > 0; });
        detectMs.push_back(clock.nsecsElapsed() / 1e6);
        RunUntil([&] { return recorded > run; });
        servedS.push_back(clock.nsecsElapsed() / 1e9);
        device.SetPresent(false);
    }
    station.Stop({});

    std::vector<double> aloneS;
    for (int run = 0; run < kRuns; ++run)
        aloneS.push_back(AloneSeconds(image));

    PrintFigure("station_detect_ms", Median(detectMs), "ms");
    std::printf("station_overhead_s: %.3f s\n", Median(servedS) - Median(aloneS));
    return 0;
}
