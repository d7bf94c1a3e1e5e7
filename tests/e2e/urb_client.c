/* A small libusb-1.0 program for the simulated device's URB tests: opens 1000:6666 and runs
 * the steps its arguments name, one line of output each:
 *   out        the kind-1 poll frame as a control OUT transfer: "out <bytes>"
 *   in         a control IN of 256 bytes: "in <bytes> <hex>"
 *   in:MS      the same with a timeout of MS ms
 *   stall      a control IN with request 1, which the device does not know
 *   hang       an IN submitted asynchronously, left alone briefly, then cancelled:
 *              "hang cancelled" when it was still in flight
 * A failure prints the step and libusb's error name. */
#include <libusb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kRequestTypeOut = 0x40, kRequestTypeIn = 0xC1, kTimeoutMs = 5000 };

static void Done(struct libusb_transfer* transfer) {
    *(int*)transfer->user_data = 1;
}

static void Hang(libusb_context* context, libusb_device_handle* handle) {
    unsigned char buffer[LIBUSB_CONTROL_SETUP_SIZE + 256];
    struct libusb_transfer* transfer = libusb_alloc_transfer(0);
    int done = 0;
    libusb_fill_control_setup(buffer, kRequestTypeIn, 0, 0, 0, 256);
    libusb_fill_control_transfer(transfer, handle, buffer, Done, &done, 60000);
    int result = libusb_submit_transfer(transfer);
    if (result != 0) {
        printf("hang %s\n", libusb_error_name(result));
        libusb_free_transfer(transfer);
        return;
    }
    for (int i = 0; i < 20 && !done; ++i) {
        struct timeval pause = {0, 5000};
        libusb_handle_events_timeout_completed(context, &pause, &done);
    }
    if (done) {
        printf("hang completed %d\n", transfer->status);
    } else {
        libusb_cancel_transfer(transfer);
        while (!done)
            libusb_handle_events_completed(context, &done);
        printf(transfer->status == LIBUSB_TRANSFER_CANCELLED ? "hang cancelled\n"
                                                             : "hang status %d\n",
               transfer->status);
    }
    libusb_free_transfer(transfer);
}

int main(int argc, char** argv) {
    libusb_context* context = NULL;
    if (libusb_init(&context) != 0) return 2;
    libusb_device_handle* handle = libusb_open_device_with_vid_pid(context, 0x1000, 0x6666);
    if (!handle) {
        printf("no device\n");
        return 3;
    }
    for (int i = 1; i < argc; ++i) {
        const char* step = argv[i];
        unsigned char poll[8] = {0x53, 0x52, 0x51, 0x01, 0x01, 0x00, 0x00, 0xF8};
        unsigned char in[256];
        int result;
        if (strcmp(step, "hang") == 0) {
            Hang(context, handle);
            continue;
        } else if (strcmp(step, "out") == 0) {
            result = libusb_control_transfer(handle, kRequestTypeOut, 0, 0, 0, poll, 8, kTimeoutMs);
        } else if (strcmp(step, "stall") == 0) {
            result = libusb_control_transfer(handle, kRequestTypeIn, 1, 0, 0, in, 256, kTimeoutMs);
        } else if (strncmp(step, "in", 2) == 0) {
            const int timeoutMs = step[2] == ':' ? atoi(step + 3) : kTimeoutMs;
            result = libusb_control_transfer(handle, kRequestTypeIn, 0, 0, 0, in, 256, timeoutMs);
        } else {
            printf("%s unknown\n", step);
            continue;
        }
        if (result < 0) {
            printf("%s %s\n", step, libusb_error_name(result));
            continue;
        }
        printf("%s %d", step, result);
        if (step[0] == 'i' && result > 0) {
            printf(" ");
            for (int k = 0; k < result; ++k)
                printf("%02X", in[k]);
        }
        printf("\n");
    }
    libusb_close(handle);
    libusb_exit(context);
    return 0;
}
