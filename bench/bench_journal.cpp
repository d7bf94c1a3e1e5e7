// Microseconds to append one production journal record, with its fsync, to a file that
// already holds earlier records: the median of many appends.
#include "BenchSupport.h"
#include "Journal.h"

#include <QTemporaryDir>

#include <algorithm>
#include <vector>

namespace {
constexpr int kAppends = 300;
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    ktr::Journal journal;
    QString error;
    if (!dir.isValid() || !journal.Open(dir.filePath("journal.jsonl"), &error)) {
        std::fprintf(stderr, "bench_journal: %s\n", qPrintable(error));
        return 1;
    }
    ktr::JournalRecord record;
    record.Start = QDateTime::currentDateTimeUtc();
    record.End = record.Start.addMSecs(4210);
    record.Port = "1-1.2";
    record.BusDev = "003:007";
    record.Name = "KTR-17 modem";
    record.Kind = 17;
    record.KindName = "ktr17";
    record.FlashSize = 1 << 20;
    record.EepromSize = 4096;
    record.Images = {{"flash", "/srv/line/fw-2.4.1.hex", QString(64, 'a'), 262144, "hex"},
                     {"eeprom", "/srv/line/eeprom.bin", QString(64, 'b'), 4096, "raw"}};
    record.Command = "station";
    record.Seconds = 4.21;
    record.Serial = 100042;

    std::vector<double> micros;
    for (int i = 0; i < kAppends; ++i) {
        QElapsedTimer clock;
        clock.start();
        if (!journal.Append(record, &error)) {
            std::fprintf(stderr, "bench_journal: %s\n", qPrintable(error));
            return 1;
        }
        micros.push_back(clock.nsecsElapsed() / 1e3);
    }
    std::nth_element(micros.begin(), micros.begin() + kAppends / 2, micros.end());
    PrintFigure("journal_append_us", micros[kAppends / 2], "us");
    return 0;
}
