// Write and verify raw FLASH images against the in-process device: the host's time per
// block must not grow with the image, nor its memory beyond a few times the image.
#include "BenchSupport.h"
#include "WriteJobs.h"

#include <QTemporaryDir>
#include <sys/resource.h>

using namespace ktr;

namespace {

double MicrosecondsPerBlock(const QString& dir, uint32_t imageBytes) {
    const QString path = dir + QStringLiteral("/image.bin");
    WriteRandomImage(path, qsizetype(imageBytes));
    sim::DeviceConfig config;
    config.FlashSize = 32u << 20;
    BenchLink b(config);
    b.Connect();
    WriteJobs jobs(b.Link);
    QElapsedTimer clock;
    clock.start();
    jobs.WriteFlashFile(path);
    const size_t blocks = b.Link.Queue().size();
    b.Link.SendNext(); // what the next poll answer would do
    b.RunUntil([&] { return b.Link.Queue().empty(); });
    const double us = clock.nsecsElapsed() / 1e3 / double(blocks);
    if (b.Device.Flash().size() < imageBytes) std::fprintf(stderr, "image not written\n");
    return us;
}

double PeakRssMegabytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    PrintFigure("write_verify_us_per_block_64k", MicrosecondsPerBlock(dir.path(), 64u << 10), "us");
    PrintFigure("write_verify_us_per_block_1m", MicrosecondsPerBlock(dir.path(), 1u << 20), "us");
    PrintFigure("write_verify_us_per_block_16m", MicrosecondsPerBlock(dir.path(), 16u << 20), "us");
    // The largest run sets the peak; it includes the simulated device's own 16 MiB.
    PrintFigure("peak_rss_mb_16m", PeakRssMegabytes(), "MB");
    return 0;
}
