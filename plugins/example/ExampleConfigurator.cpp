// Example configurator library, built under each kind's name. It reads the first 256 bytes
// of the device's EEPROM and AUX, then writes back, at address 0 of each area, an 8-byte
// run record: the magic "KCFG" and a little-endian uint32 run counter, 1 the first time
// and one more on every later run. It shows what it read and wrote in a small modal window
// when there is a window system, otherwise on stderr.
//
// Copy this to start a configurator of your own: everything the tool offers is in
// ktrcfg.h. Completions carry no context, so each step gets its own procedure and the
// state lives in this file; buffers are static because an answer may still arrive after
// a wait gave up, and the tool copies it into the buffer of that read.
#include "ktrcfg.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr int32_t kShownBytes = 256;
constexpr int32_t kRecordBytes = 8;
constexpr char kMagic[4] = {'K', 'C', 'F', 'G'};
constexpr int kWaitBoundMs = 15000; // a device that stops answering must not hang the tool
constexpr int kBytesPerLine = 16;

enum Step { kReadEeprom, kReadAux, kWriteEeprom, kWriteAux, kSteps };

struct StepState {
    int32_t Expected = 0; // the end address of the request's last block
    int32_t Reached = 0;
    QEventLoop* Loop = nullptr;
};
std::array<StepState, kSteps> steps;
uint8_t eepromBytes[kShownBytes], auxBytes[kShownBytes];
uint8_t eepromRecord[kRecordBytes], auxRecord[kRecordBytes];

template <int kStep> void KTRCFG_CALL StepDone(int32_t endAddress) {
    StepState& step = steps[kStep];
    step.Reached = endAddress;
    // The last block's bytes are copied after this returns, before the loop sees the quit.
    if (step.Loop && (endAddress >= step.Expected || endAddress < 0)) step.Loop->quit();
}

// Runs one request and keeps the tool's messages flowing until its last block is answered.
// Returns 1 when done, 0 when the tool refused it, -1 when no answer came in time.
template <int kStep, class Request> int RunStep(Request request, int32_t count) {
    StepState& step = steps[kStep];
    step = StepState{count, 0, nullptr};
    if (request(count, &StepDone<kStep>) != count) return 0;
    if (step.Reached >= count) return 1;
    QEventLoop loop;
    step.Loop = &loop;
    // A timer of our own, gone with this frame: a pending QTimer::singleShot would outlive
    // the call and point into this library once the tool has released it.
    QTimer bound;
    bound.setSingleShot(true);
    QObject::connect(&bound, &QTimer::timeout, &loop, &QEventLoop::quit);
    bound.start(kWaitBoundMs);
    loop.exec();
    step.Loop = nullptr;
    return step.Reached >= count ? 1 : -1;
}

uint32_t NextRunCount(const uint8_t* bytes) {
    if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0) return 1;
    uint32_t count = 0;
    for (int i = 3; i >= 0; --i)
        count = (count << 8) | bytes[4 + i];
    return count + 1;
}

void MakeRecord(uint8_t* record, uint32_t runCount) {
    std::memcpy(record, kMagic, sizeof kMagic);
    for (int i = 0; i < 4; ++i)
        record[4 + i] = uint8_t(runCount >> (8 * i));
}

QString HexDump(const uint8_t* bytes, int size) {
    QString text;
    for (int line = 0; line < size; line += kBytesPerLine) {
        text += QStringLiteral("%1:").arg(line, 4, 16, QLatin1Char('0')).toUpper();
        for (int i = line; i < line + kBytesPerLine && i < size; ++i)
            text += QStringLiteral(" %1").arg(bytes[i], 2, 16, QLatin1Char('0')).toUpper();
        text += QLatin1Char('\n');
    }
    return text;
}

QString Outcome(int result) {
    return result == 0
               ? QStringLiteral("запрос отклонён (размер области не получен или меньше запроса)")
               : QStringLiteral("ответ не получен");
}

// Reads one area, writes its run record back, and says what happened.
template <int kRead, int kWrite>
QString ConfigureArea(const char* name, KtrCfgRead read, KtrCfgWrite write, uint8_t* bytes,
                      uint8_t* record) {
    const QString area = QString::fromLatin1(name);
    const int readResult = RunStep<kRead>(
        [&](int32_t count, KtrCfgCompletion done) { return read(bytes, count, done); },
        kShownBytes);
    if (readResult != 1) return area + QStringLiteral(": чтение — ") + Outcome(readResult) + '\n';
    QString text = area + QStringLiteral(": прочитано %1 байт\n").arg(kShownBytes) +
                   HexDump(bytes, kShownBytes);
    const uint32_t runCount = NextRunCount(bytes);
    MakeRecord(record, runCount);
    const int writeResult = RunStep<kWrite>(
        [&](int32_t count, KtrCfgCompletion done) { return write(record, count, done); },
        kRecordBytes);
    if (writeResult != 1)
        return text + area + QStringLiteral(": запись — ") + Outcome(writeResult) + '\n';
    return text + area + QStringLiteral(": записан счётчик запусков %1\n").arg(runCount);
}

bool HasWindowSystem() {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return false;
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

void Show(const QString& report) {
    if (!HasWindowSystem()) {
        std::fprintf(stderr, "%s", report.toUtf8().constData());
        return;
    }
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Пример конфигуратора"));
    auto* text = new QPlainTextEdit(report, &dialog);
    text->setReadOnly(true);
    text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    text->setMinimumSize(560, 420);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(text);
    layout->addWidget(buttons);
    dialog.exec(); // modal: the tool's link keeps running underneath
}

} // namespace

extern "C" KTRCFG_EXPORT void KTRCFG_CALL CfgExec(KtrCfgRead readAux, KtrCfgWrite writeAux,
                                                  KtrCfgRead readEeprom, KtrCfgWrite writeEeprom) {
    if (!QCoreApplication::instance()) {
        std::fprintf(stderr, "example configurator: the host runs no Qt event loop\n");
        return;
    }
    QString report = ConfigureArea<kReadEeprom, kWriteEeprom>("EEPROM", readEeprom, writeEeprom,
                                                              eepromBytes, eepromRecord);
    report += ConfigureArea<kReadAux, kWriteAux>("AUX", readAux, writeAux, auxBytes, auxRecord);
    Show(report);
}
