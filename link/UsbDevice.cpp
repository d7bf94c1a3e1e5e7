#include "UsbDevice.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace ktr {

void UsbInit(UsbDevice& dev) {
    dev.Device = nullptr;
    dev.Handle = nullptr;
    dev.Backend->Init();
}

namespace {
int PathNumber(const char* name) {
    char* end = nullptr;
    const long number = std::strtol(name, &end, 10);
    return end != name && *end == '\0' && number >= 0 && number <= INT_MAX ? int(number) : -1;
}

bool IsWanted(const UsbDevice& dev) {
    if (dev.WantedBus == 0 && dev.WantedDevice == 0) return true;
    return BusNumber(dev.Bus) == dev.WantedBus && DeviceNumber(dev.Device) == dev.WantedDevice;
}
} // namespace

int BusNumber(const usb_bus* bus) {
    return PathNumber(bus->dirname);
}

int DeviceNumber(const struct usb_device* device) {
    return PathNumber(device->filename);
}

bool UsbOpen(UsbDevice& dev) {
    dev.Backend->FindBusses();
    dev.Backend->FindDevices();
    dev.Device = nullptr;
    dev.Handle = nullptr;
    for (dev.Bus = dev.Backend->GetBusses(); dev.Bus; dev.Bus = dev.Bus->next) {
        for (dev.Device = dev.Bus->devices; dev.Device; dev.Device = dev.Device->next) {
            if (dev.Device->descriptor.idVendor == dev.VendorId &&
                dev.Device->descriptor.idProduct == dev.ProductId && IsWanted(dev)) {
                dev.Handle = dev.Backend->Open(dev.Device);
                return dev.Handle != nullptr;
            }
        }
    }
    return false;
}

bool UsbClose(UsbDevice& dev) {
    if (!dev.Handle) return false;
    if (dev.Backend->Close(dev.Handle) != 0) return false;
    dev.Device = nullptr;
    dev.Handle = nullptr;
    return true;
}

namespace {
bool Transfer(UsbDevice& dev, int requestType, uint8_t* buffer, int bufferSize, int request,
              int value, int index, int size) {
    if (!dev.Handle) return false;
    // Never let a size reach past the fixed buffer, whatever a caller passes.
    size = std::clamp(size, 0, bufferSize);
    dev.LastResult =
        dev.Backend->ControlMsg(dev.Handle, requestType, request, value, index,
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
