// ktr-screenshot: renders the main window after a connect and a FLASH write against the
// in-process simulated device, and checks that its Russian texts came out as glyphs.
// Usage: ktr-screenshot OUTPUT.png
#include "LogPane.h"
#include "SimUsbBus.h"
#include "com_cfg.h"
#include "gps_cfg.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFontMetrics>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QToolButton>

#include <cstdio>

namespace {

constexpr int kStepTimeoutMs = 20000;
constexpr int kImageBytes = 16 * 1024;
constexpr int kMinTextPixels = 500; // a handful of log lines' worth of dark pixels

int Fail(const char* what) {
    std::fprintf(stderr, "ktr-screenshot: %s\n", what);
    return 1;
}

template <class Pred> bool RunUntil(Pred pred) {
    QElapsedTimer clock;
    clock.start();
    while (!pred()) {
        if (clock.elapsed() > kStepTimeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

// A raw firmware image: the FLASH job copies any file not named .hex byte for byte.
QString WriteImage(const QTemporaryDir& dir) {
    QByteArray image(kImageBytes, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char((i * 31 + 7) & 0xFF);
    const QString path = dir.filePath(QStringLiteral("firmware.mts"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size()) return {};
    return path;
}

int DarkPixels(const QImage& image, const QRect& area) {
    int dark = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (qGray(image.pixel(x, y)) < 96) ++dark;
    return dark;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) return Fail("usage: ktr-screenshot OUTPUT.png");
    QTemporaryDir dir;
    ktr::sim::SimUsbBus bus;
    ktr::sim::DeviceModel device;
    bus.Attach(device);

    ktr::FormOptions options;
    options.Usb = &bus;
    options.SettingsFile = dir.filePath(QStringLiteral("KTR_17.conf"));
    options.TcpPortText = QStringLiteral("0"); // never collide with a running program
    ktr::TForm1 form(options);
    auto* settings = new ktr::TComCFGForm(form, options.SettingsFile, &form);
    form.SetSettingsDialog(settings);
    form.show();
    auto* log = form.findChild<ktr::LogPane*>(QStringLiteral("Memo1"));
    int drained = 0;
    QObject::connect(&form.Link(), &ktr::LinkControl::QueueDrained, [&] { ++drained; });
    auto doneCount = [&] { return drained; };

    form.findChild<QToolButton*>(QStringLiteral("ToolButton1"))->click();
    if (!RunUntil([&] {
            return form.Link().LinkEstablished() && form.Link().FlashSize() > 0 &&
                   form.Link().Queue().empty() && doneCount() > 0;
        }))
        return Fail("the simulated device did not come up");

    const QString image = WriteImage(dir);
    if (image.isEmpty()) return Fail("cannot write the firmware image");
    form.findChild<QLineEdit*>(QStringLiteral("Edit1"))->setText(image);
    const int before = doneCount();
    form.findChild<QPushButton*>(QStringLiteral("Button1"))->click();
    if (!RunUntil([&] { return doneCount() > before && form.Link().Queue().empty(); }))
        return Fail("the firmware write did not complete");
    // The path is a temporary one; show a name a user would recognise.
    form.findChild<QLineEdit*>(QStringLiteral("Edit1"))->setText(QStringLiteral("firmware.mts"));
    QCoreApplication::processEvents();

    const QFontMetrics metrics(form.font());
    for (QChar c : QStringLiteral("ПрошивкаЖЯЁ"))
        if (!metrics.inFont(c)) return Fail("the window's font has no Cyrillic glyphs");
    const QImage shot = form.grab().toImage();
    const QRect logArea(log->mapTo(&form, QPoint(0, 0)), log->size());
    if (DarkPixels(shot, logArea) < kMinTextPixels) return Fail("no text rendered in the log");
    if (!shot.save(QString::fromLocal8Bit(argv[1]))) return Fail("cannot save the picture");
    std::printf("ktr-screenshot: %dx%d written to %s\n", shot.width(), shot.height(), argv[1]);
    return 0;
}
