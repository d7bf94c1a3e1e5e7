// One backend alone (KTR_USB_BACKEND, else the build's), on the real library, for the hang
// tests: opens 1000:6666 and runs the steps its arguments name, one line of output each.
// While a transfer is in flight a 1 ms timer ticks; a step says whether it ticked before the
// transfer ended.
//   out        the kind-1 poll frame: "out <result>"
//   in         an IN of 256 bytes: "in <result> <hex>"
//   hang       an IN (2 s timeout) left for 50 ticks, a second submit meanwhile, then a
//              cancel: "hang ticked busy <its result> cancelled <result>" ("hang ended
//              <result>" when it ended by itself)
//   in:MS      an IN with a timeout of MS ms: "in:MS ticked <result>"
//   sync       an IN through the blocking call: "sync <result>"
//   wait:MS    the event loop runs for MS ms: no output
//   list       the family's devices: "list BUS:DEV PORT accessible|denied" each
#include "UsbDevice.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

using namespace ktr;

namespace {

struct Outcome {
    int Result = 0;
    bool Ended = false;
    int Ticks = 0;
};

// Submits and runs the event loop until the transfer ends or `ticks` have passed.
Outcome Run(UsbBackend& usb, const UsbHandlePtr& handle, int requestType, char* bytes, int size,
            int timeoutMs, int ticks) {
    Outcome outcome;
    QEventLoop loop;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (++outcome.Ticks >= ticks) loop.quit();
    });
    tick.start(1);
    usb.SubmitControl(handle, requestType, 0, 0, 0, bytes, size, timeoutMs, [&](int result) {
        outcome = {result, true, outcome.Ticks};
        loop.quit();
    });
    if (!outcome.Ended) loop.exec();
    return outcome;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::unique_ptr<UsbBackend> backend = NewSystemUsbBackend();
    if (!backend) {
        std::printf("no backend %s\n", std::getenv("KTR_USB_BACKEND"));
        return 2;
    }
    UsbBackend& usb = *backend;
    usb.Init();
    const std::vector<UsbDeviceInfo> devices = usb.ListDevices();
    UsbHandlePtr handle = devices.empty() ? nullptr : usb.Open(devices.front());
    if (!handle) {
        std::printf("no device\n");
        return 3;
    }
    for (int i = 1; i < argc; ++i) {
        const char* step = argv[i];
        char poll[8] = {0x53, 0x52, 0x51, 0x01, 0x01, 0x00, 0x00, char(0xF8)};
        char in[256] = {};
        if (std::strcmp(step, "out") == 0) {
            std::printf(
                "out %d\n",
                Run(usb, handle, kRequestTypeOut, poll, 8, kTransferTimeoutMs, 1 << 30).Result);
        } else if (std::strcmp(step, "in") == 0) {
            const Outcome o =
                Run(usb, handle, kRequestTypeIn, in, 256, kTransferTimeoutMs, 1 << 30);
            std::printf("in %d ", o.Result);
            for (int k = 0; k < o.Result; ++k)
                std::printf("%02X", uint8_t(in[k]));
            std::printf("\n");
        } else if (std::strcmp(step, "hang") == 0) {
            Outcome o;
            QEventLoop loop;
            QTimer tick;
            QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
                if (++o.Ticks >= 50) loop.quit();
            });
            tick.start(1);
            usb.SubmitControl(handle, kRequestTypeIn, 0, 0, 0, in, 256, 2000, [&](int result) {
                o.Result = result;
                o.Ended = true;
                loop.quit();
            });
            loop.exec();
            if (o.Ended) {
                std::printf("hang ended %d\n", o.Result);
                continue;
            }
            int busy = 0; // one transfer at a time: a second is refused at once
            usb.SubmitControl(handle, kRequestTypeIn, 0, 0, 0, in, 256, 1000,
                              [&](int result) { busy = result; });
            usb.CancelControl(); // its done has run when this returns
            std::printf("hang ticked busy %d cancelled %d\n", busy, o.Ended ? o.Result : 0);
        } else if (std::strncmp(step, "in:", 3) == 0) {
            const Outcome o =
                Run(usb, handle, kRequestTypeIn, in, 256, std::atoi(step + 3), 1 << 30);
            std::printf("%s %s %d\n", step, o.Ticks > 0 ? "ticked" : "still", o.Result);
        } else if (std::strcmp(step, "sync") == 0) {
            std::printf("sync %d\n", usb.ControlMsg(*handle, kRequestTypeIn, 0, 0, 0, in, 256,
                                                    kTransferTimeoutMs));
        } else if (std::strncmp(step, "wait:", 5) == 0) {
            QEventLoop loop;
            QTimer::singleShot(std::atoi(step + 5), &loop, &QEventLoop::quit);
            loop.exec();
        } else if (std::strcmp(step, "list") == 0) {
            for (const UsbDeviceInfo& device : usb.ListDevices())
                std::printf("list %d:%d %s %s\n", device.Bus, device.Device,
                            device.PortPath.c_str(), device.Accessible ? "accessible" : "denied");
        } else {
            std::printf("%s unknown\n", step);
        }
    }
    usb.Close(handle);
    return 0;
}
