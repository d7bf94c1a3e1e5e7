// The configurator host against the simulated device and stand-in libraries: the device
// kinds, loading and releasing, CfgExec, and the four callbacks with their bounds.
#include "ConfiguratorHost.h"
#include "HexImage.h"
#include "HexText.h"
#include "LinkFixture.h"
#include "LogLines.h"

#include <climits>

using namespace ktr;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr int32_t kRefused = -7;

// Completions are plain procedures of a library: they reach the test through this.
std::vector<int32_t> completions;
void Record(int32_t endAddress) {
    completions.push_back(endAddress);
}

QString Caption(int kind) {
    return QString::fromUtf8(kDeviceKinds[kind - 1].Caption);
}
QString FileOfKind(int kind) {
    return ConfiguratorHost::LibraryFileName(QString::fromLatin1(kDeviceKinds[kind - 1].Library));
}

// Folders of stand-in libraries: kinds, noentry, throwing (and missing, which is not there).
QString StandIns(const char* folder) {
    return QStringLiteral(KTR_TEST_CONFIGURATORS "/") + QLatin1String(folder);
}
const QString kExampleDir = QStringLiteral(KTR_EXAMPLE_CONFIGURATORS);

// A link on the simulated device with the host as its device-kind choice, loading its
// libraries from one folder.
struct HostFixture : LinkFixture {
    explicit HostFixture(sim::DeviceConfig config = {},
                         const QString& libraries = StandIns("kinds"),
                         LinkTimings timings = {60000, 5, 0})
        : LinkFixture(config, timings), Host(Link, View) {
        completions.clear();
        Host.SetLibraryDirs({libraries});
        Link.SetDeviceKindHook(&Host);
    }
    void Adopt(int kind) { // as the parser does with a frame of that kind
        Link.SetLinkSignature(SignatureOfKind(uint32_t(kind)));
        Host.DeviceKindChanged();
    }
    bool AwaitCompletions(size_t count) {
        return RunUntil([&] { return completions.size() >= count; });
    }
    // The queue as "Type Address Count" lines.
    QStringList Queued() const {
        QStringList lines;
        for (const CommandEntry& e : Link.Queue())
            lines << QStringLiteral("%1 %2 %3")
                         .arg(e.Command, 2, 16, QLatin1Char('0'))
                         .arg(e.Address())
                         .arg(e.BlockCount());
        return lines;
    }
    int32_t Call(int callback, uint8_t* buffer, int32_t count) {
        switch (callback) {
        case 0:
            return Host.PluginReadEeprom(buffer, count, Record);
        case 1:
            return Host.PluginReadAux(buffer, count, Record);
        case 2:
            return Host.PluginWriteEeprom(buffer, count, Record);
        default:
            return Host.PluginWriteAux(buffer, count, Record);
        }
    }

    ConfiguratorHost Host;
};

// A library whose first completion reads another area and waits for it in its own event
// loop (a modal window), for longer than the watchdog interval.
constexpr int kShortWatchdogMs = 150;
struct WaitingLibrary {
    ConfiguratorHost* Host = nullptr;
    Bytes Aux = Bytes(300);
    bool AuxRead = false;
} waiting;
void AuxDone(int32_t end) {
    completions.push_back(-end);
    waiting.AuxRead |= end == 300;
}
void EepromDoneAndWait(int32_t end) {
    completions.push_back(end);
    if (end != 256) return;
    QCOMPARE(waiting.Host->PluginReadAux(waiting.Aux.data(), 300, AuxDone), 300);
    QElapsedTimer clock;
    clock.start();
    while ((!waiting.AuxRead || clock.elapsed() < 3 * kShortWatchdogMs) && clock.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
}

} // namespace

class TestConfigurator : public QObject {
    Q_OBJECT
private slots:
    void kindOfAnAdoptedSignature_data() {
        QTest::addColumn<int>("kind");
        for (int kind : {1, 2, 3, 0, 4, 255})
            QTest::addRow("kind %d", kind) << kind;
    }
    void kindOfAnAdoptedSignature() {
        QFETCH(int, kind);
        HostFixture f;
        f.Adopt(1); // a kind before, so that a release and a kept caption show
        QVERIFY(f.Host.EntryFound());
        const QStringList captionsBefore = f.View.Captions;

        f.Adopt(kind);
        if (kind >= 1 && kind <= 3) {
            QCOMPARE(f.View.Captions, captionsBefore + QStringList{Caption(kind)});
            QCOMPARE(f.View.KindSelection, kind - 1);
            QCOMPARE(f.Link.LinkSignature(), SignatureOfKind(uint32_t(kind)));
            QVERIFY(f.View.ConfiguratorEnabled);
            QVERIFY2(f.Host.LibraryPath().endsWith(FileOfKind(kind)),
                     qPrintable(f.Host.LibraryPath()));
            QVERIFY(f.Host.EntryFound());
        } else {
            QCOMPARE(f.View.Captions, captionsBefore);
            QCOMPARE(f.View.KindSelection, -1);
            QCOMPARE(f.Link.LinkSignature(), 0u); // so the parser drops the frame
            QVERIFY(!f.View.ConfiguratorEnabled);
            QVERIFY(!f.Host.LibraryLoaded());
        }
    }

    void connectLoadsTheLibraryOfTheDevicesKind() {
        HostFixture f({.Kind = 2});
        QVERIFY(f.Connect()); // the status answers were accepted under the adopted kind
        QCOMPARE(f.Link.LinkSignature(), 0x02515253u);
        QCOMPARE(f.View.Captions.last(), Caption(2));
        QVERIFY(f.Host.LibraryPath().endsWith(FileOfKind(2)));
    }

    void choosingByHandSetsTheSignatureButNotTheCaption() {
        HostFixture f;
        f.Host.ComboBox1Change(2);
        QCOMPARE(f.Link.LinkSignature(), 0x03515253u);
        QVERIFY(f.View.Captions.isEmpty());
        QVERIFY(f.View.ConfiguratorEnabled);
        QVERIFY(f.Host.LibraryPath().endsWith(FileOfKind(3)));

        f.Host.ComboBox1Change(-1);
        QCOMPARE(f.Link.LinkSignature(), 0u);
        QVERIFY(!f.View.ConfiguratorEnabled);
        QVERIFY(!f.Host.LibraryLoaded());
        QVERIFY(!f.Host.EntryFound());
    }

    // The search path holds the folder without CfgExec (the test's environment says so).
    void withoutEntryButton3DoesNothing_data() {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("searchPath");
        QTest::addColumn<bool>("loads");
        QTest::newRow("library without CfgExec") << QStringLiteral("noentry") << false << true;
        QTest::newRow("missing library") << QStringLiteral("missing") << false << false;
        QTest::newRow("missing in the folder, found on the search path")
            << QStringLiteral("missing") << true << true;
    }
    void withoutEntryButton3DoesNothing() {
        QFETCH(QString, folder);
        QFETCH(bool, searchPath);
        QFETCH(bool, loads);
        HostFixture f({}, StandIns(qPrintable(folder)));
        f.Host.SetLibraryDirs({StandIns(qPrintable(folder))}, searchPath);
        f.Link.SetCapacity(Memory::Eeprom, 512);
        f.Host.ComboBox1Change(0);
        QCOMPARE(f.Host.LibraryLoaded(), loads);
        QVERIFY(!f.Host.EntryFound());
        QVERIFY(f.View.ConfiguratorEnabled); // stays enabled, silently inert
        const QStringList log = f.View.Log;
        f.Host.Button3Click();
        QCOMPARE(f.View.Log, log);
        QVERIFY(f.Link.Queue().empty());
    }

    void throwingConfiguratorIsContained() {
        HostFixture f({}, StandIns("throwing"));
        f.Link.SetCapacity(Memory::Eeprom, 512);
        f.Host.ComboBox1Change(0);
        f.Host.Button3Click();
        QVERIFY(!f.Host.Running());
        QCOMPARE(f.Link.Queue().size(), size_t(1)); // what it did before throwing stands
        f.Host.Button3Click();                      // and it can be run again
        QCOMPARE(f.Link.Queue().size(), size_t(2));
    }

    // Its timer fires after the release, on a kind change and after the host has gone.
    void libraryLeavingATimerBehindIsSurvived() {
        const auto letTimersFire = [] {
            QElapsedTimer clock;
            clock.start();
            while (clock.elapsed() < 100)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        };
        {
            HostFixture f({}, StandIns("leaving"));
            f.Host.ComboBox1Change(0);
            f.Host.Button3Click();
            f.Host.ComboBox1Change(1);
            QVERIFY(!f.Host.LibraryLoaded());
            letTimersFire();
            f.Host.ComboBox1Change(0);
            QVERIFY(f.Host.EntryFound());
            f.Host.Button3Click();
        }
        letTimersFire();
    }

    // The stand-in's CfgExec queues a write; the test changes the kind right then, as an
    // adoption at a connect or a choice in the list would while the library's window runs.
    void kindChangeDuringCfgExecWaitsForItsReturn_data() {
        QTest::addColumn<int>("newKind");
        QTest::newRow("adoption of kind 2") << 2;
        QTest::newRow("adoption of kind 0") << 0;
    }
    void kindChangeDuringCfgExecWaitsForItsReturn() {
        QFETCH(int, newKind);
        HostFixture f;
        f.Link.SetCapacity(Memory::Eeprom, 512);
        f.Adopt(1);
        const QString first = f.Host.LibraryPath();
        bool changed = false;
        QString loadedInside;
        QObject::connect(&f.Link, &LinkControl::QueueChanged, [&] {
            if (changed || !f.Host.Running()) return;
            changed = true;
            f.Adopt(newKind);
            loadedInside = f.Host.LibraryPath();
            f.Host.Button3Click(); // a second press while it runs is ignored
        });
        f.Host.Button3Click();

        QVERIFY(changed);
        QCOMPARE(loadedInside, first); // not released under its own running code
        QVERIFY(!f.Host.Running());
        if (newKind == 2) {
            QCOMPARE(f.Link.LinkSignature(), SignatureOfKind(2));
            QVERIFY(f.Host.LibraryPath().endsWith(FileOfKind(2)));
            QVERIFY(f.Host.EntryFound());
        } else {
            QCOMPARE(f.Link.LinkSignature(), 0u);
            QVERIFY(!f.Host.LibraryLoaded());
        }
        // The released library's request stays queued, without its completion and target.
        QCOMPARE(f.Link.Queue().size(), size_t(1));
        const CommandEntry& entry = f.Link.Queue().front();
        QCOMPARE(entry.Command, uint8_t(cmdEepromWrite));
        QCOMPARE(entry.Data.at(kBlockDataOffset), uint8_t(1)); // the kind-1 library's tag
        QVERIFY(!entry.Completion);
        QVERIFY(!f.Link.ReadTarget(Memory::Eeprom));
    }

    // The completion's own request is answered while it waits, the answers keep their order
    // and the watchdog stays quiet, since the device keeps answering.
    void completionMayWaitForItsOwnRequests() {
        HostFixture f({}, StandIns("kinds"), {kShortWatchdogMs, 5, 0});
        const Bytes eeprom = RandomBytes(512), aux = RandomBytes(300);
        f.Device.Eeprom() = eeprom;
        f.Device.Aux() = aux;
        QVERIFY(f.Connect());
        waiting = {&f.Host};
        Bytes target(512);
        QCOMPARE(f.Host.PluginReadEeprom(target.data(), 512, EepromDoneAndWait), 512);
        QVERIFY(f.AwaitCompletions(4));
        QCOMPARE(completions, (std::vector<int32_t>{256, 512, -256, -300}));
        QCOMPARE(target, eeprom);
        QCOMPARE(waiting.Aux, aux);
        QVERIFY(f.Link.IsOpen());
        QVERIFY(!f.View.Log.contains(kWatchdog));
        QVERIFY(f.Link.Queue().empty());
    }

    // The example reads both areas and writes its run record at address 0 of each.
    void exampleConfiguratorCountsItsRuns() {
        HostFixture f({}, kExampleDir);
        QVERIFY(f.Connect());
        QVERIFY(f.Host.EntryFound());
        for (uint8_t run = 1; run <= 2; ++run) {
            f.Host.Button3Click();
            const Bytes record{'K', 'C', 'F', 'G', run, 0, 0, 0};
            for (const Bytes* memory : {&f.Device.Eeprom(), &f.Device.Aux()}) {
                QVERIFY(memory->size() >= record.size());
                QCOMPARE(Bytes(memory->begin(), memory->begin() + 8), record);
            }
        }
        QVERIFY(f.Link.Queue().empty()); // it waited for all its answers
    }

    void exampleConfiguratorWithoutSizesIsRefusedAndReturns() {
        HostFixture f({}, kExampleDir);
        f.Host.ComboBox1Change(0);
        f.Host.Button3Click();
        QVERIFY(!f.Host.Running());
        QVERIFY(f.Link.Queue().empty());
        QVERIFY(f.View.Log.isEmpty()); // refused requests leave the link alone
    }

    void readArrivesInBlocksWithEndAddresses() {
        HostFixture f;
        QVERIFY(f.Connect());
        f.Device.Eeprom() = RandomBytes(4096);
        const qsizetype opened = f.View.Log.count(kOpened);
        Bytes target(600);
        QCOMPARE(f.Host.PluginReadEeprom(target.data(), 600, Record), 600);
        QCOMPARE(f.Queued(), (QStringList{"23 0 256", "23 256 256", "23 512 88"}));
        for (const CommandEntry& e : f.Link.Queue()) {
            QCOMPARE(e.Length, uint16_t(kBlockHeaderSize));
            QVERIFY(e.Completion == &Record);
        }
        QCOMPARE(f.View.Log.count(kOpened), opened + 1);

        QVERIFY(f.AwaitCompletions(3));
        QCOMPARE(completions, (std::vector<int32_t>{256, 512, 600}));
        QVERIFY(std::equal(target.begin(), target.end(), f.Device.Eeprom().begin()));
    }

    void countsOfZeroOrBelowQueueNothingButOpenTheLink() {
        HostFixture f; // sizes still 0: only the counts decide
        uint8_t buffer[4] = {};
        for (int callback = 0; callback < 4; ++callback) {
            for (int32_t count : {0, -1, INT32_MIN}) {
                const qsizetype opened = f.View.Log.count(kOpened);
                QCOMPARE(f.Call(callback, buffer, count), count);
                QCOMPARE(f.View.Log.count(kOpened), opened + 1);
            }
            const QStringList log = f.View.Log;
            QCOMPARE(f.Call(callback, nullptr, 0), kRefused); // null is refused even at 0
            QCOMPARE(f.View.Log, log);
        }
        QVERIFY(f.Link.Queue().empty());
    }

    void countsAreBoundedByTheReportedSizes() {
        HostFixture f({.EepromSize = 512, .AuxSize = 4096});
        Bytes buffer(5000), other(16);
        // Before the size answers, every count above 0 is refused and the link left alone.
        for (int callback = 0; callback < 4; ++callback)
            QCOMPARE(f.Call(callback, buffer.data(), 1), kRefused);
        QVERIFY(f.View.Log.isEmpty());

        QVERIFY(f.Connect());
        QCOMPARE(f.Host.PluginReadEeprom(buffer.data(), 512, nullptr), 512);
        QCOMPARE(f.Host.PluginReadEeprom(other.data(), 513, nullptr), kRefused);
        QCOMPARE(f.Link.ReadTarget(Memory::Eeprom), buffer.data()); // a refusal keeps the target
        QCOMPARE(f.Host.PluginWriteEeprom(buffer.data(), 1024, nullptr), kRefused);
        QCOMPARE(f.Host.PluginWriteAux(buffer.data(), 4096, nullptr), 4096);
        QCOMPARE(f.Host.PluginReadAux(buffer.data(), 4097, nullptr), kRefused);
        QCOMPARE(f.Link.Queue().size(), size_t(2 + 16));

        // A device claiming an area near 2 GiB still gets no request above the image ceiling.
        HostFixture huge({.ClaimedEepromSize = 0x7FFFFFFF, .ClaimedAuxSize = 0x7FFFFFFF});
        QVERIFY(huge.Connect());
        for (int32_t count : {int32_t(kMaxImageBytes) + 1, INT32_MAX})
            for (int callback = 0; callback < 4; ++callback)
                QCOMPARE(huge.Call(callback, buffer.data(), count), kRefused);
        QVERIFY(huge.Link.Queue().empty());
        QVERIFY(!huge.Link.ReadTarget(Memory::Aux));
    }

    void writeBytesAreTakenAtTheCall() {
        HostFixture f;
        QVERIFY(f.Connect());
        Bytes source = RandomBytes(300);
        const Bytes written = source;
        QCOMPARE(f.Host.PluginWriteAux(source.data(), 300, Record), 300);
        std::fill(source.begin(), source.end(), 0);
        QCOMPARE(f.Queued(), (QStringList{"31 0 256", "31 256 44"}));
        QVERIFY(f.AwaitCompletions(2));
        QCOMPARE(completions, (std::vector<int32_t>{256, 300}));
        QVERIFY(std::equal(written.begin(), written.end(), f.Device.Aux().begin()));
    }

    void secondReadTakesOverLaterAnswersWithinItsCount() {
        HostFixture f;
        QVERIFY(f.Connect());
        f.Device.Eeprom() = RandomBytes(4096);
        Bytes first(600, 0xEE), second(300, 0xEE);
        QCOMPARE(f.Host.PluginReadEeprom(first.data(), 600, Record), 600);
        QCOMPARE(f.Host.PluginReadEeprom(second.data(), 100, Record), 100);
        QVERIFY(f.AwaitCompletions(4));
        QCOMPARE(completions, (std::vector<int32_t>{256, 512, 600, 100}));
        QCOMPARE(first, Bytes(600, 0xEE));
        QVERIFY(std::equal(second.begin(), second.begin() + 100, f.Device.Eeprom().begin()));
        QCOMPARE(Bytes(second.begin() + 100, second.end()), Bytes(200, 0xEE)); // not past 100
    }
};

QTEST_GUILESS_MAIN(TestConfigurator)
#include "tst_configurator.moc"
