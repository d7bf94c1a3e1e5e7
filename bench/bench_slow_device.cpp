// A write pass against a device that needs a moment per block before its answer is ready:
// the time per block beside that moment itself, and the reads made per block. The link should
// run at the device's pace, not at the poll tick's, and not ask it in vain meanwhile.
#include "BenchSupport.h"

using namespace ktr;

namespace {

constexpr int kAnswerDelayUs = 2000;
constexpr int kBlocks = 500;

struct Pass {
    double MsPerBlock = 0, ReadsPerBlock = 0;
};

Pass WritePass() {
    sim::DeviceConfig config;
    config.FlashSize = kBlocks * kMaxBlockData;
    config.AnswerDelayUs = kAnswerDelayUs;
    BenchLink b(config);
    b.Connect();
    uint8_t block[kBlockHeaderSize + kMaxBlockData] = {};
    PutU16(block + kBlockCountOffset, kMaxBlockData);
    for (int i = 0; i < kBlocks; ++i) {
        PutU32(block, uint32_t(i * kMaxBlockData));
        b.Link.EnqueueCommand(cmdFlashWrite, block, sizeof block);
    }
    const uint64_t readsBefore = b.Device.InTransfers();
    QElapsedTimer clock;
    clock.start();
    b.RunUntil([&] { return b.Link.Queue().empty(); });
    return {clock.nsecsElapsed() / 1e6 / kBlocks,
            double(b.Device.InTransfers() - readsBefore) / kBlocks};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const Pass pass = WritePass();
    const double measured = pass.MsPerBlock;
    const double ideal = kAnswerDelayUs / 1000.0;
    PrintFigure("slow_device_block_ms", measured, "ms");
    PrintFigure("slow_device_ideal_block_ms", ideal, "ms");
    std::printf("slow_device_efficiency: %.2f ratio\n", ideal / measured);
    std::printf("slow_device_reads_per_block: %.2f reads\n", pass.ReadsPerBlock);
    return 0;
}
