// The write jobs' files: which files become which block commands and what is refused; the
// window's job surviving an unplug. Whole jobs run to their outcome are in tst_jobs.
#include "HexText.h"
#include "LinkFixture.h"
#include "LogLines.h"
#include "WriteJobs.h"

#include <QRandomGenerator>
#include <QTemporaryDir>

using namespace ktr;
using Bytes = std::vector<uint8_t>;

namespace {
const QString kFlashStart = QStringLiteral("Запуск прошивки основной программы...");
const QString kEepromStart = QStringLiteral("Запуск прошивки EEPROM...");

struct Jobs : LinkFixture {
    explicit Jobs(sim::DeviceConfig config = {}) : LinkFixture(config), Writer(Link) {}
    QString File(const QString& name, const QByteArray& content) {
        const QString path = Dir.filePath(name);
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(content);
        return path;
    }
    QString File(const QString& name, const Bytes& content) {
        return File(name, QByteArray(reinterpret_cast<const char*>(content.data()),
                                     qsizetype(content.size())));
    }
    // (Command, Address, Count) of every queued entry, with its data checked against image.
    std::vector<std::tuple<uint8_t, uint32_t, int>> Entries(const Bytes& image = {}) const {
        std::vector<std::tuple<uint8_t, uint32_t, int>> out;
        for (const CommandEntry& e : Link.Queue()) {
            const int count = e.BlockCount();
            if (e.Length != count + kBlockHeaderSize) qFatal("entry length mismatch");
            if (!image.empty() && !std::equal(e.Data.begin() + kBlockHeaderSize, e.Data.end(),
                                              image.begin() + e.Address()))
                qFatal("entry data differs from the image");
            out.emplace_back(e.Command, e.Address(), count);
        }
        return out;
    }
    QTemporaryDir Dir;
    WriteJobs Writer;
};
} // namespace

class TestWriteJobs : public QObject {
    Q_OBJECT
private slots:
    void blocksOfBothPasses() {
        Jobs j;
        j.Link.SetCapacity(Memory::Flash, 4096);
        const Bytes image = RandomBytes(600);
        j.Writer.Button1Click(j.File("fw.bin", image));
        using E = std::tuple<uint8_t, uint32_t, int>;
        QCOMPARE(j.Entries(image), (std::vector<E>{{cmdFlashWrite, 0, 256},
                                                   {cmdFlashWrite, 256, 256},
                                                   {cmdFlashWrite, 512, 88},
                                                   {cmdFlashVerify, 0, 256},
                                                   {cmdFlashVerify, 256, 256},
                                                   {cmdFlashVerify, 512, 88}}));
        QCOMPARE(j.View.Log, QStringList{kFlashStart});

        // A second press queues the whole job again behind the first.
        j.Writer.Button1Click(j.File("fw.bin", image));
        QCOMPARE(int(j.Link.Queue().size()), 12);
        QCOMPARE(j.Link.Queue()[6].Command, uint8_t(cmdFlashWrite));

        // EEPROM images of 64 KiB and more keep counting: no wrap at 65536.
        j.Link.ClearQueue();
        j.Link.SetCapacity(Memory::Eeprom, 100000);
        const Bytes data = RandomBytes(70000);
        j.Writer.Button2Click(j.File("data.bin", data));
        const auto entries = j.Entries(data);
        QCOMPARE(int(entries.size()), 2 * 274);
        QCOMPARE(entries[273], (E{cmdEepromWrite, 69888, 112}));
        QCOMPARE(std::get<1>(entries[256]), 65536u);
    }

    void capacitiesBoundTheImage() {
        Jobs j;
        j.Link.SetCapacity(Memory::Flash, 512);
        j.Link.SetCapacity(Memory::Eeprom, 512);
        j.Writer.WriteFlashFile(j.File("exact.bin", RandomBytes(512)));
        QCOMPARE(int(j.Link.Queue().size()), 4);
        j.Link.ClearQueue();
        j.View.Log.clear();
        j.Writer.WriteFlashFile(j.File("over.bin", RandomBytes(513)));
        j.Writer.WriteEepromFile(j.File("exact.bin", RandomBytes(512)));
        QCOMPARE(j.View.Log, (QStringList{kTooLarge, kTooLarge}));
        QVERIFY(j.Link.Queue().empty());
        j.Writer.WriteEepromFile(j.File("fits.bin", RandomBytes(511)));
        QCOMPARE(int(j.Link.Queue().size()), 4);

        // Before the sizes are known: FLASH takes only empty images, EEPROM nothing at all.
        Jobs cold;
        cold.Writer.WriteFlashFile(cold.File("one.bin", Bytes{1}));
        cold.Writer.WriteEepromFile(cold.File("empty.bin", Bytes{}));
        QCOMPARE(cold.View.Log, (QStringList{kTooLarge, kTooLarge}));
        cold.Writer.WriteFlashFile(cold.File("empty.bin", Bytes{}));
        QCOMPARE(int(cold.Link.Queue().size()), 2);

        // A HEX file placing data far up is refused before any image is built.
        j.Link.ClearQueue();
        j.View.Log.clear();
        j.Link.SetCapacity(Memory::Flash, 1u << 20);
        j.Writer.WriteFlashFile(
            j.File("far.hex", QByteArray(":02000004FFFFFC\n:0100000055AA\n:00000001FF\n")));
        QCOMPARE(j.View.Log, QStringList{kTooLarge});
        QVERIFY(j.Link.Queue().empty());
    }

    void imagesStayBelowTheCeilingWhateverTheDeviceClaims() {
        sim::DeviceConfig huge;
        huge.FlashSize = huge.EepromSize = 0xFFFFFFFF;
        Jobs j(huge);
        QVERIFY(j.Connect());
        QCOMPARE(j.Link.FlashSize(), 0xFFFFFFFFu);
        j.View.Log.clear();

        // Refused by their size alone, before anything is read or allocated.
        const QString over = j.Dir.filePath("over.bin");
        QFile sparse(over);
        QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(qint64(kMaxImageBytes) + 1));
        sparse.close();
        j.Writer.WriteFlashFile(over);
        j.Writer.WriteEepromFile(over);
        // Data placed near 4 GiB by an extended linear address.
        j.Writer.WriteFlashFile(
            j.File("far.hex", QByteArray(":02000004FFFFFC\n:0100000055AA\n:00000001FF\n")));
        j.Writer.WriteEepromFile(
            j.File("far.eep", QByteArray(":02000004FFFFFC\n:0100000055AA\n:00000001FF\n")));
        QCOMPARE(j.View.Log, QStringList(4, kTooLarge));
        QVERIFY(j.Link.Queue().empty());

        // An ordinary image still goes through.
        const Bytes image = RandomBytes(1000);
        j.Writer.WriteFlashFile(j.File("fw.bin", image));
        QVERIFY(j.RunUntil([&] { return j.Link.Queue().empty(); }));
        QVERIFY(std::equal(image.begin(), image.end(), j.Device.Flash().begin()));
    }

    void emptyImagesAndExtensions() {
        Jobs j;
        j.Link.SetCapacity(Memory::Flash, 1u << 16);
        j.Link.SetCapacity(Memory::Eeprom, 1u << 16);
        using E = std::tuple<uint8_t, uint32_t, int>;
        const std::vector<E> emptyFlash{{cmdFlashWrite, 0, 0}, {cmdFlashVerify, 0, 0}};
        j.Writer.WriteFlashFile(j.File("empty.bin", Bytes{}));
        QCOMPARE(j.Entries(), emptyFlash);
        j.Link.ClearQueue();
        j.Writer.WriteFlashFile(j.File("eof.hex", QByteArray(":00000001FF\r\n")));
        QCOMPARE(j.Entries(), emptyFlash);
        j.Link.ClearQueue();
        j.View.Log.clear();
        j.Writer.WriteEepromFile(j.File("empty.eep", QByteArray(":00000001FF\r\n")));
        j.Writer.WriteFlashFile(j.File("nothing.hex", QByteArray())); // silent abort
        j.Writer.WriteFlashFile(j.File("noeof.hex", QByteArray(":0100000055AA\n")));
        QVERIFY(j.Link.Queue().empty());
        QVERIFY(j.View.Log.isEmpty());

        // Which names are read as HEX: the one-byte record puts 0x55 at address 0.
        const QByteArray hex(":0100000055AA\r\n:00000001FF\r\n");
        const auto firstByte = [&] {
            const uint8_t b =
                j.Link.Queue().front().Length > 6 ? j.Link.Queue().front().Data[6] : 0;
            j.Link.ClearQueue();
            return b;
        };
        for (const char* name : {"a.hex", "a.Hex", "b.HEX"}) {
            j.Writer.WriteFlashFile(j.File(name, hex));
            QCOMPARE(firstByte(), uint8_t(0x55));
        }
        for (const char* name : {"a.mts", "noext", "a.eep", "a.hex.bin"}) {
            j.Writer.WriteFlashFile(j.File(name, hex));
            QCOMPARE(firstByte(), uint8_t(':'));
        }
        j.Writer.WriteEepromFile(j.File("a.eep", hex));
        QCOMPARE(firstByte(), uint8_t(0x55));
        j.Writer.WriteEepromFile(j.File("a.hex", hex));
        QCOMPARE(firstByte(), uint8_t(':'));
    }

    void unreadableFiles() {
        Jobs j;
        j.Link.SetCapacity(Memory::Flash, 4096);
        j.Link.SetCapacity(Memory::Eeprom, 4096);
        j.Writer.Button1Click(j.Dir.filePath("missing.mts"));
        j.Writer.Button1Click(QString());
        QCOMPARE(j.View.Log, (QStringList{kFlashStart, kFlashStart}));
        QVERIFY(j.View.Errors.isEmpty());

        const QString missing = j.Dir.filePath("missing.eep");
        j.Writer.Button2Click(missing);
        QCOMPARE(j.View.Log.last(), kEepromStart);
        QCOMPARE(j.View.Errors.size(), 1);
        QVERIFY(
            j.View.Errors[0].startsWith(QStringLiteral("Cannot open file \"%1\". ").arg(missing)));
        QVERIFY(j.View.Errors[0].size() > missing.size() + 20); // the system's reason follows

        // A malformed record refuses the whole file, naming its line.
        j.View.Log.clear();
        j.Writer.WriteFlashFile(
            j.File("bad.hex", QByteArray(":0100000055AA\n:0100010066FF\n:00000001FF\n")));
        QCOMPARE(j.View.Log, QStringList{QStringLiteral("Ошибка формата файла в строке 2!")});
        QVERIFY(j.Link.Queue().empty());
    }

    void unplugMidWriteLosesNothing() {
        sim::DeviceConfig config;
        config.FlashSize = 1u << 20;
        Jobs j(config);
        QVERIFY(j.Connect());
        const Bytes firmware = RandomBytes(64 * 1024);
        j.Writer.WriteFlashFile(j.File("fw.bin", firmware));
        QVERIFY(j.RunUntil([&] { return j.Device.FramesReceivedOfType(cmdFlashWrite) >= 100; }));
        j.Device.SetPresent(false);
        QVERIFY(j.RunUntil([&] { return !j.Link.IsOpen(); }));
        QVERIFY(!j.Link.Queue().empty());
        j.Device.SetPresent(true);
        j.Link.ToolButton1Click(); // the operator connects again
        QVERIFY(j.RunUntil([&] { return j.Link.Queue().empty(); }, 30000));
        QCOMPARE(j.View.Log.last(), QStringLiteral("Операция успешно завершена."));
        QVERIFY(std::equal(firmware.begin(), firmware.end(), j.Device.Flash().begin()));
        QCOMPARE(j.Device.FramesReceivedOfType(cmdFlashVerify) >= 256u, true);
    }
};

QTEST_GUILESS_MAIN(TestWriteJobs)
#include "tst_writejobs.moc"
