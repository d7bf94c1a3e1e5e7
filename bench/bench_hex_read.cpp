// Reads a 12 MiB image's Intel HEX text and compares the rate with objcopy and srec_cat
// converting the same text to binary (their figures include process start and file output).
#include "HexImage.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

constexpr qint64 kImageBytes = 12 << 20;
constexpr int kRounds = 3;
constexpr int kToolTimeoutMs = 300000;

bool Run(const QString& dir, const QString& program, const QStringList& args) {
    QProcess process;
    process.setWorkingDirectory(dir);
    process.start(program, args);
    return process.waitForFinished(kToolTimeoutMs) &&
           process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// Best wall-clock seconds of kRounds; negative when a round fails.
double BestSeconds(const std::function<bool()>& round) {
    double best = 1e300;
    for (int i = 0; i < kRounds; ++i) {
        QElapsedTimer timer;
        timer.start();
        if (!round()) return -1;
        best = std::min(best, timer.nsecsElapsed() / 1e9);
    }
    return best;
}

void Print(const char* name, double textMb, double seconds) {
    if (seconds > 0)
        std::printf("%s: %.1f MB/s\n", name, textMb / seconds);
    else
        std::printf("%s: failed MB/s\n", name);
}

} // namespace

int main() {
    QTemporaryDir dir;
    if (!dir.isValid()) return 1;
    const QString path = dir.path();
    {
        QByteArray image(kImageBytes, Qt::Uninitialized);
        QRandomGenerator random(20240611);
        random.fillRange(reinterpret_cast<quint32*>(image.data()), image.size() / 4);
        QFile file(dir.filePath("in.bin"));
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size()) return 1;
    }
    if (!Run(path, "srec_cat",
             {"in.bin", "-binary", "-o", "in.hex", "-intel", "-address-length=4",
              "-Output_Block_Size", "32"})) {
        std::fprintf(stderr, "srec_cat could not make the HEX text\n");
        return 1;
    }
    const QString hexPath = dir.filePath("in.hex");
    const double textMb = QFile(hexPath).size() / 1e6;

    ktr::FillRandomState fill;
    std::vector<uint8_t> image;
    const double ours = BestSeconds([&] {
        QFile file(hexPath);
        if (!file.open(QIODevice::ReadOnly)) return false;
        const uchar* text = file.map(0, file.size());
        if (text == nullptr) return false;
        image.clear();
        const auto result = ktr::ReadHexImage(text, size_t(file.size()), image, 1ull << 30, fill);
        return result.Outcome == ktr::HexOutcome::Ok && image.size() == size_t(kImageBytes);
    });
    const double objcopy = BestSeconds([&] {
        return Run(path, "objcopy", {"-I", "ihex", "-O", "binary", "in.hex", "out.bin"});
    });
    const double srecCat = BestSeconds([&] {
        return Run(path, "srec_cat", {"in.hex", "-intel", "-o", "out.bin", "-binary"});
    });

    Print("hex_read_mb_per_s", textMb, ours);
    Print("objcopy_mb_per_s", textMb, objcopy);
    Print("srec_cat_mb_per_s", textMb, srecCat);
    return ours > 0 && objcopy > 0 && srecCat > 0 ? 0 : 1;
}
