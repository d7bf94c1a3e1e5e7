#include "UsbDevice.h"

#include <algorithm>

namespace ktr {

void UsbInit(UsbDevice& dev) {
    dev.Opened = {};
    dev.Handle.reset();
    dev.Backend->Init();
}

bool UsbOpen(UsbDevice& dev) {
    dev.Opened = {};
    dev.Handle.reset();
    const bool any = dev.WantedBus == 0 && dev.WantedDevice == 0;
    for (const UsbDeviceInfo& device : dev.Backend->ListDevices(dev.VendorId, dev.ProductId)) {
        if (!any && (device.Bus != dev.WantedBus || device.Device != dev.WantedDevice)) continue;
        dev.Handle = dev.Backend->Open(device);
        if (dev.Handle) dev.Opened = device;
        return dev.Handle != nullptr;
    }
    return false;
}

bool UsbClose(UsbDevice& dev) {
    if (!dev.Handle) return false;
    dev.Opened = {};
    return dev.Backend->Close(dev.Handle) == 0;
}

namespace {
bool Transfer(UsbDevice& dev, int requestType, uint8_t* buffer, int bufferSize, int request,
              int value, int index, int size) {
    if (!dev.Handle) return false;
    // Never let a size reach past the fixed buffer, whatever a caller passes.
    size = std::clamp(size, 0, bufferSize);
    dev.LastResult =
        dev.Backend->ControlMsg(*dev.Handle, requestType, request, value, index,
                                reinterpret_cast<char*>(buffer), size, kTransferTimeoutMs);
    return dev.LastResult >= 0;
}

void Submit(UsbDevice& dev, int requestType, uint8_t* buffer, int bufferSize, int request,
            int value, int index, int size, std::function<void(bool)> done) {
    if (!dev.Handle) return done(false);
    size = std::clamp(size, 0, bufferSize);
    // Kept in the record, so that the backend's callback holds one pointer and costs no
    // allocation per transfer.
    dev.Done = std::move(done);
    dev.Backend->SubmitControl(dev.Handle, requestType, request, value, index,
                               reinterpret_cast<char*>(buffer), size, kTransferTimeoutMs,
                               [&dev](int result) {
                                   dev.LastResult = result;
                                   const std::function<void(bool)> ended = std::move(dev.Done);
                                   dev.Done = nullptr;
                                   ended(result >= 0);
                               });
}
} // namespace

bool UsbReceive(UsbDevice& dev, int request, int value, int index, int size) {
    return Transfer(dev, kRequestTypeIn, dev.ReceiveBuffer, kReceiveBufferSize, request, value,
                    index, size);
}

bool UsbSend(UsbDevice& dev, int request, int value, int index, int size) {
    return Transfer(dev, kRequestTypeOut, dev.TransmitBuffer, kTransmitBufferSize, request, value,
                    index, size);
}

void UsbSubmitReceive(UsbDevice& dev, int request, int value, int index, int size,
                      std::function<void(bool ok)> done) {
    Submit(dev, kRequestTypeIn, dev.ReceiveBuffer, kReceiveBufferSize, request, value, index, size,
           std::move(done));
}

void UsbSubmitSend(UsbDevice& dev, int request, int value, int index, int size,
                   std::function<void(bool ok)> done) {
    Submit(dev, kRequestTypeOut, dev.TransmitBuffer, kTransmitBufferSize, request, value, index,
           size, std::move(done));
}

void UsbCancel(UsbDevice& dev) {
    dev.Backend->CancelControl();
}

} // namespace ktr
