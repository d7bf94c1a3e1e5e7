#include "HexImage.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cctype>

using namespace ktr;

namespace {

constexpr int kTop = 0xFFFFF;

QByteArray Rec(int type, int address, const char* hex) {
    QByteArray body = QByteArray::fromHex(hex);
    body.prepend(char(type)).prepend(char(address)).prepend(char(address >> 8));
    body.prepend(char(body.size() - 3));
    uint8_t sum = 0;
    for (char c : body)
        sum += uint8_t(c);
    return ':' + body.append(char(-sum)).toHex().toUpper() + "\r\n";
}
QByteArray Data(int address, const char* hex) {
    return Rec(0, address, hex);
}
const QByteArray kEnd = ":00000001FF\r\n";

// Records alternately at the top (kTop) and at the bottom: each pair refills the whole image.
QByteArray Seesaw(int pairs) {
    QByteArray text;
    for (int i = 0; i < pairs; ++i)
        text += Rec(4, 0, "000F") + Data(0xFFFF, "AA") + Rec(4, 0, "0000") + Data(0, "BB");
    return text + kEnd;
}

HexResult Read(const QByteArray& text, std::vector<uint8_t>& image, FillRandomState& fill,
               uint64_t maxImageSize = 1 << 24) {
    return ReadHexImage(reinterpret_cast<const uint8_t*>(text.constData()), size_t(text.size()),
                        image, maxImageSize, fill);
}

// Draws `draws` values from fill and builds an image in address order from tokens: "#a..b" is
// the a-th to b-th of those values (1-based), anything else one hex byte.
std::vector<uint8_t> Expected(const QString& tokens, int draws, FillRandomState& fill) {
    std::vector<uint8_t> values(1), out;
    for (int k = 0; k < draws; ++k)
        values.push_back(FillRandom(fill));
    for (const QString& token : tokens.split(' ', Qt::SkipEmptyParts)) {
        const QStringList range = token.mid(1).split("..");
        if (!token.startsWith('#'))
            out.push_back(uint8_t(token.toUInt(nullptr, 16)));
        else
            for (int k = range[0].toInt(); k <= range.value(1, range[0]).toInt(); ++k)
                out.push_back(values[k]);
    }
    return out;
}

} // namespace

class TestHexImage : public QObject {
    Q_OBJECT
private slots:
    void fillRandomSequence() {
        FillRandomState fill;
        for (uint8_t value :
             {0x00, 0x08, 0xDC, 0x33, 0x45, 0xAB, 0x51, 0x29, 0x5F, 0x6C, 0x14, 0x79})
            QCOMPARE(FillRandom(fill), value);
    }

    void digitsAndFields() {
        for (int c = 0; c < 256; ++c)
            QCOMPARE(HexDigitValue(uint8_t(c)) >= 0, bool(isxdigit(c)));
        auto bytes = [](const char* s) { return reinterpret_cast<const uint8_t*>(s); };
        QCOMPARE(ReadHexWord(bytes("FfE0")), 0xFFE0);
        // A bad character anywhere spoils the field, even beside the largest digits.
        for (const char* bad : {"GFFF", "FGFF", "FFGF", "FFFG"})
            QVERIFY(ReadHexWord(bytes(bad)) < 0);
        QVERIFY(ReadHexByte(bytes("F:")) < 0 && ReadHexByte(bytes(":F")) < 0);
        const char text[] = "ab:c:";
        QCOMPARE(SkipToRecordStart(bytes(text), bytes(text) + 5), bytes(text) + 3);
        QCOMPARE(SkipToRecordStart(bytes(text) + 3, bytes(text) + 5), nullptr); // ':' is last
    }

    void images_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("draws");
        QTest::newRow("worked example")
            << QByteArray(":020000040000FA\r\n:040100001122334451\r\n:00000001FF\r\n")
            << "#1..256 11 22 33 44" << 257;
        QTest::newRow("at write position")
            << Data(0, "1122") + Data(2, "33") + kEnd << "11 22 33" << 2;
        QTest::newRow("count 0 beyond, then data")
            << Data(0, "11") + Data(4, "") + Data(6, "66") + kEnd << "11 #2..6 66" << 7;
        QTest::newRow("below position")
            << Data(0, "11223344") + Data(1, "AA") + Data(0, "") + kEnd << "11 AA 33 44" << 1;
        QTest::newRow("end record ends reading")
            << Data(0, "11") + Rec(1, 0x1234, "AABB") + Data(1, "22") + ":zz"
            << "11" << 1;
        QTest::newRow("end record cut short") << Data(0, "11") + ":00000001"
                                              << "11" << 1;
        QTest::newRow("only an end record") << kEnd << "" << 0;
        QTest::newRow("lower case") << QByteArray(":02000000abcd86\n") + kEnd << "AB CD" << 1;
        QTest::newRow("linear address 0")
            << Rec(4, 0, "0000") + Data(2, "11") + kEnd << "#1..2 11" << 3;
        QTest::newRow("across 0xFFFF")
            << Data(0xFFF8, "00112233445566778899AABBCCDDEEFF") + kEnd
            << "#1..65528 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF" << 65529;
        QTest::newRow("segment address")
            << Rec(2, 0, "0012") + Data(4, "33") + kEnd << "#1..292 33" << 293;
        QTest::newRow("no 16-bit wrap above a base")
            << Rec(4, 0, "0001") + Data(0xFFFF, "AABB") + kEnd << "#1..131071 AA BB" << 131072;
        QTest::newRow("other types and text skipped")
            << Rec(3, 0, "00001234") + Rec(5, 0, "00001234") + Rec(0x7F, 0, "") + "junk\n" +
                   Data(0, "11") + ";\r\n" + kEnd
            << "11" << 1;
        // Out of order: fill lands only where no record wrote, and a later fill replaces an
        // earlier one; the values drawn are those of the ascending rule.
        QTest::newRow("fill keeps record bytes")
            << Data(0x10, "AABB") + Data(0, "CC") + Data(0x20, "DD") + kEnd
            << "CC #18..32 AA BB #35..48 DD" << 49;
        QTest::newRow("later fill replaces earlier")
            << Data(0x10, "AA") + Data(0, "BB") + Data(8, "CC") + kEnd << "BB #18..24 CC #10..16 AA"
            << 25;
        QTest::newRow("seesaw") << Seesaw(3)
                                << QString("BB #%1..%2 AA").arg(2 * kTop + 2).arg(3 * kTop)
                                << 3 * kTop + 1;
    }

    void images() {
        QFETCH(QByteArray, text);
        QFETCH(QString, expected);
        QFETCH(int, draws);
        FillRandomState fill, expectedFill;
        std::vector<uint8_t> image;
        QCOMPARE(Read(text, image, fill).Outcome, HexOutcome::Ok);
        const std::vector<uint8_t> want = Expected(expected, draws, expectedFill);
        QCOMPARE(image.size(), want.size());
        QVERIFY(image == want);
        QCOMPARE(fill.Seed, expectedFill.Seed);
    }

    void secondReadContinuesSequence() {
        FillRandomState fill, expectedFill;
        std::vector<uint8_t> first, second;
        Read(Data(0x100, "11") + kEnd, first, fill);
        Read(Data(0x100, "11") + kEnd, second, fill);
        QVERIFY(first == Expected("#1..256 11", 257, expectedFill));
        QVERIFY(second == Expected("#1..256 11", 257, expectedFill));
    }

    // Refilling every byte per pair would take 2 * 10^10 draws; only the last fill may count.
    void seesawStaysCheap() {
        FillRandomState fill;
        std::vector<uint8_t> image;
        QCOMPARE(Read(Seesaw(20000), image, fill).Outcome, HexOutcome::Ok);
        QCOMPARE(image.size(), size_t(kTop + 1));
    }

    void outcomes_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<quint64>("maxImageSize");
        QTest::addColumn<HexOutcome>("outcome");
        QTest::addColumn<int>("line");
        QTest::addColumn<int>("draws"); // -1: billions, not counted here
        const quint64 big = 1 << 20;
        const QByteArray high = ":02000004FFFFFC\r\n";
        using enum HexOutcome;
        QTest::newRow("empty") << QByteArray() << big << Empty << 0 << 0;
        QTest::newRow("no end record") << Data(0x10, "11") << big << NoEndRecord << 0 << 17;
        QTest::newRow("colon last") << Data(0, "11") + ":" << big << NoEndRecord << 0 << 1;
        QTest::newRow("bad checksum")
            << Data(0, "11") + "\r\n:0100010022DD\r\n" + kEnd << big << Malformed << 3 << 1;
        QTest::newRow("bad data digit")
            << "\n:020000001G22CB\n" + kEnd << big << Malformed << 2 << 0;
        QTest::newRow("data cut short")
            << Data(0, "11") + ":0200000011" << big << Malformed << 2 << 1;
        QTest::newRow("header cut short") << QByteArray(":02000") << big << Malformed << 1 << 0;
        QTest::newRow("address record count")
            << Rec(4, 0, "01") + kEnd << big << Malformed << 1 << 0;
        QTest::newRow("end record checksum")
            << QByteArray(":00000001FE\n") << big << Malformed << 1 << 0;
        QTest::newRow("too large") << high + Data(0, "11") + kEnd << big << TooLarge << 0 << -1;
        QTest::newRow("malformed after too large")
            << high + Data(0, "11") + ":0100000011EF\n" + kEnd << big << Malformed << 3 << -1;
        QTest::newRow("too large without end")
            << high + Data(0, "11") << big << NoEndRecord << 0 << -1;
        QTest::newRow("one byte over")
            << Data(0, "00112233") + kEnd << quint64(3) << TooLarge << 0 << 1;
        QTest::newRow("exactly at limit")
            << Data(0, "00112233") + kEnd << quint64(4) << Ok << 0 << 1;
    }

    void outcomes() {
        QFETCH(QByteArray, text);
        QFETCH(quint64, maxImageSize);
        QFETCH(HexOutcome, outcome);
        QFETCH(int, line);
        QFETCH(int, draws);
        FillRandomState fill, expectedFill;
        std::vector<uint8_t> image;
        const HexResult result = Read(text, image, fill, maxImageSize);
        QCOMPARE(result.Outcome, outcome);
        QCOMPARE(result.Line, int64_t(line));
        QCOMPARE(image.capacity() == 0, outcome != HexOutcome::Ok);
        Expected("", std::max(draws, 0), expectedFill);
        if (draws >= 0) QCOMPARE(fill.Seed, expectedFill.Seed);
    }

    void realFiles_data() {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QList<int>>("ranges"); // offset, size, offset, size, ...
        QTest::addColumn<QStringList>("options");
        QTest::newRow("objcopy 1 byte") << "objcopy" << QList<int>{0, 1} << QStringList();
        QTest::newRow("objcopy 200000 bytes")
            << "objcopy" << QList<int>{0, 200000} << QStringList();
        QTest::newRow("objcopy moved") << "objcopy" << QList<int>{0x12340, 70000}
                                       << QStringList{"--change-addresses", "0x12340"};
        QTest::newRow("srec_cat at 0x20000")
            << "srec_cat" << QList<int>{0x20000, 70000} << QStringList();
        QTest::newRow("srec_cat hole")
            << "srec_cat" << QList<int>{0, 3000, 0x30000, 5000} << QStringList();
        QTest::newRow("srec_cat segmented")
            << "srec_cat" << QList<int>{0x100, 150000} << QStringList{"-address-length=3"};
    }

    // Whatever the tools wrote, every record byte must match their own conversion to binary.
    void realFiles() {
        QFETCH(QString, tool);
        QFETCH(QList<int>, ranges);
        QFETCH(QStringList, options);
        for (const char* program : {"objcopy", "srec_cat"})
            if (QStandardPaths::findExecutable(program).isEmpty()) QSKIP("tool not installed");
        QTemporaryDir dir;
        auto run = [&](const QString& program, const QStringList& args) {
            QProcess process;
            process.setWorkingDirectory(dir.path());
            process.start(program, args);
            return process.waitForFinished(60000) && process.exitCode() == 0;
        };
        auto save = [&](const QString& name, const QByteArray& bytes) {
            QFile f(dir.filePath(name));
            return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
        };
        auto load = [&](const QString& name) {
            QFile f(dir.filePath(name));
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        };

        QRandomGenerator random{quint32(ranges[1])};
        QList<QByteArray> parts;
        QStringList inputs;
        for (int i = 0; i < ranges.size(); i += 2) {
            QByteArray bytes(ranges[i + 1], Qt::Uninitialized);
            for (char& b : bytes)
                b = char(random.bounded(256));
            QVERIFY(save(QString("r%1.bin").arg(i), bytes));
            parts << bytes;
            inputs << QString("r%1.bin").arg(i) << "-binary"
                   << "-offset" << QString::number(ranges[i]);
        }
        if (tool == "objcopy")
            QVERIFY(
                run(tool, QStringList{"-I", "binary", "-O", "ihex", "r0.bin", "x.hex"} + options));
        else
            QVERIFY(run(tool, inputs + QStringList{"-o", "x.hex", "-intel"} + options));
        QVERIFY(run("srec_cat", {"x.hex", "-intel", "-o", "s.bin", "-binary"}));
        QVERIFY(run("objcopy", {"-I", "ihex", "-O", "binary", "x.hex", "o.bin"}));
        const QByteArray viaSrec = load("s.bin");
        const QByteArray viaObjcopy = load("o.bin");

        FillRandomState fill;
        std::vector<uint8_t> image;
        QCOMPARE(Read(load("x.hex"), image, fill).Outcome, HexOutcome::Ok);
        QCOMPARE(image.size(), size_t(ranges[ranges.size() - 2] + parts.last().size()));
        for (int i = 0; i < parts.size(); ++i) {
            const int offset = ranges[2 * i];
            const QByteArray got(reinterpret_cast<const char*>(image.data()) + offset,
                                 parts[i].size());
            QCOMPARE(got, parts[i]);
            QCOMPARE(got, viaSrec.mid(offset, parts[i].size()));
            QCOMPARE(got, viaObjcopy.mid(offset - ranges[0], parts[i].size()));
        }
    }
};

QTEST_APPLESS_MAIN(TestHexImage)
#include "tst_heximage.moc"
