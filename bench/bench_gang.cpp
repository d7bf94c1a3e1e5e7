// ktr-cli writing and verifying one 256 KiB image into 8 devices at once, beside the same into
// one device; every device answers 2 ms late. Both runs go through umockdev and the real
// libusb, so they include the harness's start and the program's own.
//
// Peak memory: every 20 ms the ktr-cli processes under the harness are found in /proc and
// their VmHWM summed; the figure is the highest sum. CPU: the program's own beside the total
// of the run, which adds the harness that plays the devices.
#include "BenchSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sys/resource.h>
#include <vector>

namespace {

constexpr int kImageBytes = 256 * 1024;
constexpr int kDevices = 8;
constexpr int kHarnessBoundMs = 300000;
constexpr int kSampleMs = 20;
constexpr int kRepeats = 3;

struct Sample {
    double Seconds = 0;
    double PeakRssMb = 0;
    double CpuS = 0;        // the whole run: harness, program and its children
    double ProgramCpuS = 0; // the program and its children alone
};

double CpuOfChildren() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The kB of VmHWM of every live ktr-cli below root.
double ProgramHwmKb(qint64 root) {
    std::map<qint64, qint64> parents;
    std::map<qint64, bool> isCli;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok) continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly)) continue;
        const QByteArray text = stat.readAll();
        // "pid (comm) state ppid ...": comm may hold spaces, so the fields after its ')'.
        const qsizetype close = text.lastIndexOf(')');
        const QList<QByteArray> fields = text.mid(close + 2).split(' ');
        if (close < 0 || fields.size() < 2) continue;
        parents[pid] = fields[1].toLongLong();
        isCli[pid] = text.mid(text.indexOf('(') + 1, close - text.indexOf('(') - 1) == "ktr-cli";
    }
    double kb = 0;
    for (const auto& [pid, parent] : parents) {
        if (!isCli[pid]) continue;
        qint64 up = parent;
        while (up > 1 && up != root)
            up = parents.count(up) ? parents[up] : 0;
        if (up != root) continue;
        QFile status(QStringLiteral("/proc/%1/status").arg(pid));
        if (!status.open(QIODevice::ReadOnly)) continue;
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmHWM:")) kb += line.mid(6).trimmed().split(' ')[0].toDouble();
    }
    return kb;
}

Sample Run(const QString& image, int devices) {
    QTemporaryDir dir;
    const QString stats = dir.filePath(QStringLiteral("stats"));
    QStringList args{QStringLiteral("--quiet"),
                     QStringLiteral("--kill-after-s"),
                     QStringLiteral("250"),
                     QStringLiteral("--stats"),
                     stats,
                     QStringLiteral("--devices"),
                     QString::number(devices),
                     QStringLiteral("--flash-size"),
                     QString::number(kImageBytes),
                     QStringLiteral("--answer-delay-us"),
                     QStringLiteral("2000"),
                     QStringLiteral("--"),
                     QStringLiteral(KTR_CLI),
                     QStringLiteral("write"),
                     QStringLiteral("--flash"),
                     image,
                     QStringLiteral("-q")};
    if (devices > 1) args << QStringLiteral("--all");
    const double cpuBefore = CpuOfChildren();
    QProcess process;
    QElapsedTimer clock;
    clock.start();
    process.start(QStringLiteral(KTR_HARNESS), args);
    Sample sample;
    double peakKb = 0;
    while (!process.waitForFinished(kSampleMs) && clock.elapsed() < kHarnessBoundMs)
        peakKb = std::max(peakKb, ProgramHwmKb(process.processId()));
    sample.Seconds = clock.nsecsElapsed() / 1e9;
    if (process.state() != QProcess::NotRunning || process.exitCode() != 0) {
        std::fprintf(stderr, "bench_gang: the run over %d devices failed: %s%s\n", devices,
                     process.readAllStandardOutput().constData(),
                     process.readAllStandardError().constData());
        std::exit(1);
    }
    sample.PeakRssMb = peakKb / 1024;
    sample.CpuS = CpuOfChildren() - cpuBefore;
    QFile file(stats);
    file.open(QIODevice::ReadOnly);
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() == 2 && (parts[0] == "program_user_s" || parts[0] == "program_system_s"))
            sample.ProgramCpuS += parts[1].toDouble();
    }
    return sample;
}

// The run of median time; its peak memory is the highest of them all.
Sample Median(std::vector<Sample> runs) {
    double peak = 0;
    for (const Sample& run : runs)
        peak = std::max(peak, run.PeakRssMb);
    std::sort(runs.begin(), runs.end(),
              [](const Sample& a, const Sample& b) { return a.Seconds < b.Seconds; });
    Sample median = runs[runs.size() / 2];
    median.PeakRssMb = peak;
    return median;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("fw.bin"));
    WriteRandomImage(image, kImageBytes);

    std::vector<Sample> ones, gangs;
    for (int i = 0; i < kRepeats; ++i) {
        ones.push_back(Run(image, 1));
        gangs.push_back(Run(image, kDevices));
    }
    const Sample one = Median(ones), gang = Median(gangs);
    PrintFigure("gang_1_seconds", one.Seconds, "s");
    PrintFigure("gang_8_seconds", gang.Seconds, "s");
    std::printf("gang_8_time_ratio: %.2f ratio\n", gang.Seconds / one.Seconds);
    PrintFigure("gang_1_peak_rss_mb", one.PeakRssMb, "mb");
    PrintFigure("gang_8_peak_rss_mb", gang.PeakRssMb, "mb");
    PrintFigure("gang_1_program_cpu_s", one.ProgramCpuS, "s");
    PrintFigure("gang_8_program_cpu_s", gang.ProgramCpuS, "s");
    PrintFigure("gang_8_harness_cpu_s", gang.CpuS - gang.ProgramCpuS, "s");
    return 0;
}
