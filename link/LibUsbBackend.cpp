#include "UsbBackend.h"

namespace ktr {

void LibUsbBackend::Init() {
    usb_init();
}
int LibUsbBackend::FindBusses() {
    return usb_find_busses();
}
int LibUsbBackend::FindDevices() {
    return usb_find_devices();
}
usb_bus* LibUsbBackend::GetBusses() {
    return usb_get_busses();
}
usb_dev_handle* LibUsbBackend::Open(struct usb_device* device) {
    return usb_open(device);
}
int LibUsbBackend::Close(usb_dev_handle* handle) {
    return usb_close(handle);
}

int LibUsbBackend::ControlMsg(usb_dev_handle* handle, int requestType, int request, int value,
                              int index, char* bytes, int size, int timeoutMs) {
    return usb_control_msg(handle, requestType, request, value, index, bytes, size, timeoutMs);
}

} // namespace ktr
