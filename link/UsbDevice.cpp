#include "UsbDevice.h"

#include <algorithm>

namespace ktr {

void UsbInit(UsbDevice& dev) {
    dev.Device = nullptr;
    dev.Handle = nullptr;
    dev.Backend->Init();
}

bool UsbOpen(UsbDevice& dev) {
    dev.Backend->FindBusses();
    dev.Backend->FindDevices();
    dev.Device = nullptr;
    dev.Handle = nullptr;
    for (dev.Bus = dev.Backend->GetBusses(); dev.Bus; dev.Bus = dev.Bus->next) {
        for (dev.Device = dev.Bus->devices; dev.Device; dev.Device = dev.Device->next) {
            if (dev.Device->descriptor.idVendor == dev.VendorId &&
                dev.Device->descriptor.idProduct == dev.ProductId) {
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
} // namespace

bool UsbReceive(UsbDevice& dev, int request, int value, int index, int size) {
    return Transfer(dev, kRequestTypeIn, dev.ReceiveBuffer, kReceiveBufferSize, request, value,
                    index, size);
}

bool UsbSend(UsbDevice& dev, int request, int value, int index, int size) {
    return Transfer(dev, kRequestTypeOut, dev.TransmitBuffer, kTransmitBufferSize, request, value,
                    index, size);
}

} // namespace ktr
