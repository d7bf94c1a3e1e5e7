// The poll ping-pong through umockdev and the real libusb, the same ping-pong in-process,
// and the program's CPU use while it sits connected to a device of real pace.
//
// Runs through the harness are measured by difference: two runs of different length, so
// that start-up, the first connect and the exit cancel out. The program's CPU time is what
// the harness reads from wait(): user plus system time of the program alone, not of the
// harness that plays the device.
#include "BenchSupport.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdlib>
#include <map>

using namespace ktr;

namespace {

constexpr int kHarnessBoundMs = 60000;

struct HarnessRun {
    double PollFrames = 0;
    double ProgramCpuS = 0;
};

HarnessRun RunThroughHarness(int seconds, const QStringList& harnessArgs) {
    QTemporaryDir dir;
    const QString statsPath = dir.filePath(QStringLiteral("stats"));
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(QStringLiteral(KTR_HARNESS),
                  QStringList{QStringLiteral("--quiet"), QStringLiteral("--stats"), statsPath} +
                      harnessArgs +
                      QStringList{QStringLiteral("--"), QStringLiteral(KTR_CLI),
                                  QStringLiteral("bridge"), QStringLiteral("--port"),
                                  QStringLiteral("0"), QStringLiteral("--timeout"),
                                  QString::number(seconds)});
    if (!process.waitForFinished(kHarnessBoundMs) || process.exitCode() != 0) {
        std::fprintf(stderr, "bench_usb_roundtrip: the harness run failed: %s\n",
                     process.readAllStandardError().constData());
        std::exit(1);
    }
    QFile file(statsPath);
    file.open(QIODevice::ReadOnly);
    std::map<QString, double> stats;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() == 2) stats[QString::fromLatin1(parts[0])] = parts[1].toDouble();
    }
    return {stats["poll_frames"], stats["program_user_s"] + stats["program_system_s"]};
}

struct Steady {
    double RoundTripsPerS;
    double CpuPercent;
    double CpuUsPerRoundTrip;
};

Steady SteadyState(int shortS, int longS, const QStringList& harnessArgs) {
    const HarnessRun a = RunThroughHarness(shortS, harnessArgs);
    const HarnessRun b = RunThroughHarness(longS, harnessArgs);
    const double seconds = longS - shortS;
    const double roundTrips = b.PollFrames - a.PollFrames;
    const double cpuS = b.ProgramCpuS - a.ProgramCpuS;
    return {roundTrips / seconds, 100.0 * cpuS / seconds,
            roundTrips > 0 ? 1e6 * cpuS / roundTrips : 0};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const Steady fast = SteadyState(1, 4, {QStringLiteral("--latency-us"), QStringLiteral("0")});
    PrintFigure("umockdev_rt_per_s", fast.RoundTripsPerS, "rt/s");
    const double inProcess = PollRoundTripsPerSecond(2000);
    PrintFigure("inprocess_rt_per_s", inProcess, "rt/s");
    PrintFigure("inprocess_us_per_rt", 1e6 / inProcess, "us");
    const Steady idle = SteadyState(1, 6, {}); // the harness's default, real-device latency
    PrintFigure("idle_cpu_percent", idle.CpuPercent, "%");
    PrintFigure("idle_rt_per_s", idle.RoundTripsPerS, "rt/s");
    PrintFigure("idle_cpu_us_per_rt", idle.CpuUsPerRoundTrip, "us");
    return 0;
}
