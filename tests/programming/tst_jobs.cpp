// The core's jobs against the simulated device: what the memories and files hold after a
// run, the one outcome each run announces, and what a run that ends early left behind.
#include "HexText.h"
#include "ImageJob.h"
#include "LinkFixture.h"
#include "LogLines.h"
#include "ReadJob.h"

#include <QTemporaryDir>

using namespace ktr;
using Bytes = std::vector<uint8_t>;

namespace {

struct Bench : LinkFixture {
    explicit Bench(sim::DeviceConfig config = {}) : LinkFixture(config), Files(Link) {
        Connected = Connect();
    }
    QString File(const QString& name, const QByteArray& content) {
        QFile f(Dir.filePath(name));
        f.open(QIODevice::WriteOnly);
        f.write(content);
        return f.fileName();
    }
    QByteArray Read(const QString& name) {
        QFile f(Dir.filePath(name));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }
    // Starts job and runs until it has finished; the outcome, with every progress seen.
    JobOutcome Run(Job& job) {
        std::optional<JobOutcome> outcome;
        QObject::connect(&job, &Job::Started, [&](const JobProgress& p) { Seen.push_back(p); });
        QObject::connect(&job, &Job::Progress, [&](const JobProgress& p) { Seen.push_back(p); });
        QObject::connect(&job, &Job::Finished, [&](const JobOutcome& o) {
            if (outcome) qFatal("a second Finished");
            outcome = o;
        });
        job.Start();
        if (!RunUntil([&] { return outcome.has_value(); }, 30000)) qFatal("the job never ended");
        QCoreApplication::processEvents(); // nothing more may follow
        return *outcome;
    }
    QTemporaryDir Dir;
    WriteJobs Files;
    std::vector<JobProgress> Seen;
    bool Connected = false;
};

QByteArray AsBytes(const Bytes& b) {
    return QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size()));
}

sim::DeviceConfig Sizes(uint32_t flash, uint32_t eeprom, uint32_t aux = 8192) {
    sim::DeviceConfig config;
    config.FlashSize = flash;
    config.EepromSize = eeprom;
    config.AuxSize = aux;
    return config;
}

} // namespace

class TestJobs : public QObject {
    Q_OBJECT
private slots:
    // The device holds the images, every block is counted once, and the progress ends at
    // its total.
    void imagesWrittenAndVerified_data() {
        QTest::addColumn<int>("flashBytes");
        QTest::addColumn<int>("eepromBytes");
        QTest::addColumn<bool>("hex");
        QTest::addColumn<bool>("fillsEeprom"); // the command line's rule
        QTest::newRow("FLASH above 64 KiB and EEPROM, HEX") << 200000 << 5000 << true << false;
        QTest::newRow("FLASH raw") << 600 << 0 << false << false;
        QTest::newRow("EEPROM filling its area") << 0 << 8192 << false << true;
    }
    void imagesWrittenAndVerified() {
        QFETCH(int, flashBytes);
        QFETCH(int, eepromBytes);
        QFETCH(bool, hex);
        QFETCH(bool, fillsEeprom);
        Bench b(Sizes(1u << 20, 8192));
        QVERIFY(b.Connected);
        if (fillsEeprom) b.Files.SetRules({JobRules::Format::ByExtension, true, true});
        const Bytes firmware = RandomBytes(size_t(flashBytes)),
                    data = RandomBytes(size_t(eepromBytes));
        std::vector<ImageFile> images;
        if (flashBytes)
            images.push_back({Memory::Flash, hex ? b.File("fw.hex", ToHex(firmware))
                                                 : b.File("fw.bin", AsBytes(firmware))});
        if (eepromBytes)
            images.push_back({Memory::Eeprom, hex ? b.File("data.eep", ToHex(data))
                                                  : b.File("data.bin", AsBytes(data))});
        b.View.Log.clear();
        ImageJob job(b.Files, images, true);
        const JobOutcome outcome = b.Run(job);
        QCOMPARE(outcome.End, JobEnd::Done);
        QCOMPARE(b.View.Log.first(), ImageJob::StartLine(images[0].Target));
        QCOMPARE(b.View.Log.last(), kDone);
        QVERIFY(std::equal(firmware.begin(), firmware.end(), b.Device.Flash().begin()));
        QVERIFY(std::equal(data.begin(), data.end(), b.Device.Eeprom().begin()));
        const uint64_t flashBlocks = (flashBytes + 255) / 256,
                       eepromBlocks = (eepromBytes + 255) / 256;
        const JobProgress last = b.Seen.back();
        QCOMPARE(last.TotalBlocks, 2 * (flashBlocks + eepromBlocks));
        QCOMPARE(last.DoneBlocks, last.TotalBlocks);
        QCOMPARE(last.DoneBytes, uint64_t(2 * (flashBytes + eepromBytes)));
        QCOMPARE(b.Seen.size(), size_t(last.TotalBlocks + 1)); // Started, then each answer
        QCOMPARE(outcome.Left.size(), images.size());
        for (const MemoryLeft& left : outcome.Left)
            QVERIFY(left.BlocksWritten == left.WriteBlocks &&
                    left.BlocksVerified == left.VerifyBlocks &&
                    left.WriteBlocks ==
                        (left.Target == Memory::Flash ? flashBlocks : eepromBlocks));
    }

    // The device reports one verify block differing: the queue goes, nothing past the block
    // is verified, and the outcome names the block, or with NarrowMismatch the byte.
    void mismatchEndsTheJob_data() {
        QTest::addColumn<bool>("narrow");
        QTest::addColumn<bool>("changeFile"); // the verify file differs from the device there
        QTest::addColumn<uint32_t>("address");
        QTest::addColumn<uint32_t>("block");
        QTest::addColumn<bool>("narrowed");
        QTest::addColumn<bool>("repeated");
        QTest::newRow("window: the block") << false << false << 0x2000u << 0x2000u << false << true;
        QTest::newRow("narrowed to the byte") << true << true << 0x2345u << 0x2300u << true << true;
        QTest::newRow("a difference that does not repeat")
            << true << false << 0x2000u << 0x2000u << false << false;
    }
    void mismatchEndsTheJob() {
        QFETCH(bool, narrow);
        QFETCH(bool, changeFile);
        QFETCH(uint32_t, address);
        QFETCH(uint32_t, block);
        QFETCH(bool, narrowed);
        QFETCH(bool, repeated);
        Bench b(Sizes(1u << 20, 4096));
        QVERIFY(b.Connected);
        b.Files.SetRules({JobRules::Format::ByExtension, false, false, narrow});
        Bytes image = RandomBytes(0x4000);
        if (changeFile) {
            // Written as it is, then verified against a file with one byte changed.
            ImageJob write(b.Files, {{Memory::Flash, b.File("fw.bin", AsBytes(image))}}, true);
            QCOMPARE(b.Run(write).End, JobEnd::Done);
            image[0x2345] ^= 0x5A;
        } else {
            b.Device.MismatchVerifyAt(0x2000);
        }
        b.View.Log.clear();
        const size_t verifiesBefore = b.Sent(cmdFlashVerify).size();
        ImageJob job(b.Files, {{Memory::Flash, b.File("fw2.bin", AsBytes(image))}}, !changeFile);
        const JobOutcome outcome = b.Run(job);
        QCOMPARE(outcome.End, JobEnd::Mismatch);
        QCOMPARE(outcome.Difference.Target, Memory::Flash);
        QCOMPARE(outcome.Difference.Address, address);
        QCOMPARE(outcome.Difference.Narrowed, narrowed);
        QCOMPARE(outcome.Difference.Repeated, repeated);
        const QStringList firstLines = b.View.Log.mid(changeFile ? 0 : 1, 2);
        QCOMPARE(firstLines,
                 (QStringList{QStringLiteral("Ошибка верификации по адресу %1h!").arg(block, 0, 16),
                              kCleared}));
        if (!narrow) QCOMPARE(b.View.Log.size(), 3); // the start line, then these
        uint32_t lastVerified = 0;
        const auto verifies = b.Sent(cmdFlashVerify);
        for (size_t i = verifiesBefore; i < verifies.size(); ++i)
            lastVerified = std::max(lastVerified, GetU32(verifies[i].data() + 7));
        QVERIFY(lastVerified < block + 256); // nothing past the block went out
        // What the job left: a write has written its 64 blocks, and the blocks before the
        // differing one are verified.
        QCOMPARE(outcome.Left.size(), size_t(1));
        QCOMPARE(outcome.Left[0].BlocksWritten, changeFile ? 0u : 64u);
        QCOMPARE(outcome.Left[0].BlocksVerified, uint64_t(block / 256));
        QCOMPARE(outcome.Left[0].VerifyBlocks, 64u);
    }

    // Several windows of an area whose bytes differ by offset: a window read into the wrong
    // place of its file would show. The second area follows in the same job.
    void areasReadIntoTheirFiles() {
        const uint32_t eepromSize = 3 * kReadWindowBytes + 1000;
        Bench b(Sizes(4096, eepromSize, 700));
        QVERIFY(b.Connected);
        Bytes& eeprom = b.Device.Eeprom();
        eeprom.resize(eepromSize);
        for (uint32_t i = 0; i < eepromSize; ++i)
            eeprom[i] = uint8_t(i ^ (i >> 8) ^ (i >> 16) * 37);
        b.Device.Aux().assign(700, 0x3C);
        ReadJob job(b.Link, {{Memory::Eeprom, b.Dir.filePath("ee.bin")},
                             {Memory::Aux, b.Dir.filePath("aux.bin")}});
        QCOMPARE(b.Run(job).End, JobEnd::Done);
        QCOMPARE(b.Read("ee.bin"), AsBytes(eeprom));
        QCOMPARE(b.Read("aux.bin"), QByteArray(700, '\x3C'));
        const JobProgress last = b.Seen.back();
        QCOMPARE(b.Seen.front().TotalBlocks, uint64_t(3 * 256 + 4 + 3)); // known from the start
        QCOMPARE(last.DoneBlocks, last.TotalBlocks);
        QCOMPARE(last.DoneBytes, uint64_t(eepromSize + 700));
        QVERIFY(b.Link.ReadTarget(Memory::Eeprom) == nullptr); // no answer lands in a gone window
    }

    // A job that ends otherwise says so once, with what it left; a refused file leaves none
    // of the job queued, the files before it included.
    void jobsEndingEarly() {
        Bench b(Sizes(1u << 20, 4096));
        QVERIFY(b.Connected);
        const QString image = b.File("fw.bin", AsBytes(RandomBytes(0x10000)));
        const QString bad = b.File("bad.eep", QByteArray(":0100000055AA\n:01000100\n"));
        ImageJob refused(b.Files, {{Memory::Flash, image}, {Memory::Eeprom, bad}}, true);
        const JobOutcome refusal = b.Run(refused);
        QCOMPARE(refusal.End, JobEnd::Refused);
        QCOMPARE(refusal.Refusal.Reason, JobRefusal::FormatError);
        QCOMPARE(refusal.Refusal.Path, bad);
        QVERIFY(refusal.Left.empty());
        QVERIFY(b.Link.Queue().empty());

        // The operator disconnects mid-write: the queue goes and the job is cancelled.
        ImageJob cancelled(b.Files, {{Memory::Flash, image}}, true);
        QObject::connect(&cancelled, &Job::Progress, [&](const JobProgress& p) {
            if (p.DoneBlocks == 10) b.Link.ToolButton4Click();
        });
        const JobOutcome dropped = b.Run(cancelled);
        QCOMPARE(dropped.End, JobEnd::Cancelled);
        QCOMPARE(dropped.Left[0].BlocksWritten, 10u);
        QCOMPARE(dropped.Left[0].WriteBlocks, 256u);

        // The caller gives up on the link: its entries stay queued for it to close.
        QVERIFY(b.Connect());
        ImageJob lost(b.Files, {{Memory::Flash, image}}, true);
        QObject::connect(&lost, &Job::Progress, [&](const JobProgress& p) {
            if (p.DoneBlocks == 300) lost.Abort(JobEnd::LinkLost);
        });
        const JobOutcome given = b.Run(lost);
        QCOMPARE(given.End, JobEnd::LinkLost);
        QCOMPARE(given.Left[0].BlocksWritten, 256u);
        QCOMPARE(given.Left[0].BlocksVerified, 44u);
        QVERIFY(!b.Link.Queue().empty());
    }
};

QTEST_GUILESS_MAIN(TestJobs)
#include "tst_jobs.moc"
