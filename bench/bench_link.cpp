// Queue drain and poll ping-pong against the in-process device: the host's own cost per
// round trip, which must not grow with the length of the queue.
#include "BenchSupport.h"

using namespace ktr;

namespace {

double DrainRoundTripsPerSecond(int entries) {
    sim::DeviceConfig config;
    config.FlashSize = 1u << 20;
    BenchLink b(config);
    b.Connect();
    b.Device.Flash().assign(config.FlashSize, 0xFF); // measure the host, not the memory's growth
    uint8_t block[kBlockHeaderSize + kMaxBlockData] = {};
    PutU16(block + kBlockCountOffset, kMaxBlockData);
    for (int i = 0; i < entries; ++i) {
        PutU32(block, uint32_t(i % 4096) * kMaxBlockData);
        b.Link.EnqueueCommand(cmdFlashWrite, block, sizeof block);
    }
    QElapsedTimer clock;
    clock.start();
    b.Link.SendNext(); // what the next poll answer would do
    b.RunUntil([&] { return b.Link.Queue().empty(); });
    return entries / (clock.nsecsElapsed() / 1e9);
}

} // namespace

// Best of several runs: the short queues finish in about a millisecond.
double BestDrain(int entries, int runs) {
    double best = 0;
    for (int i = 0; i < runs; ++i)
        best = std::max(best, DrainRoundTripsPerSecond(entries));
    return best;
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    PrintFigure("drain_1000_rt_per_s", BestDrain(1000, 20), "rt/s");
    PrintFigure("drain_10000_rt_per_s", BestDrain(10000, 5), "rt/s");
    PrintFigure("drain_100000_rt_per_s", BestDrain(100000, 3), "rt/s");
    PrintFigure("poll_rt_per_s", PollRoundTripsPerSecond(2000), "rt/s");
    return 0;
}
