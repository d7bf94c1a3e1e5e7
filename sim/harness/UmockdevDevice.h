// Simulated devices on a umockdev test bed: their descriptors on the emulated bus, and an
// ioctl handler per device that plays its device model to libusb's control transfers, the
// synchronous ones of libusb 0.1 and the URBs of libusb 1.0. Each device's handler runs on a
// worker thread of its own and never blocks it: completions that wait (latency, hangs) are
// made later by DelayedCalls. Everything that touches one device's state holds its mutex.
#pragma once

#include "DelayedCalls.h"
#include "DeviceModel.h"
#include "HarnessOptions.h"

#include <umockdev.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace ktr::sim {

// The test bed, shared by the devices on it; one per process.
class UmockdevBed {
public:
    UmockdevBed() = default;
    ~UmockdevBed();
    UmockdevBed(const UmockdevBed&) = delete;
    UmockdevBed& operator=(const UmockdevBed&) = delete;

    // Creates the test bed (it puts UMOCKDEV_DIR into this process's environment, for the
    // program to inherit). On failure: false and the reason.
    bool Start(std::string& error);
    // Detaches every handler and removes the bed: call before the devices are destroyed.
    void Close();
    UMockdevTestbed* Testbed() const { return testbed_; }
    // A test bed of a device's own, for its worker thread alone: the ioctls of one device
    // wait on no other's, as on a real bus. Its sockets are linked into this bed's tree, under
    // the node paths the program opens. The bed owns it; with the mutex held.
    UMockdevTestbed* NewServer();
    std::string Root() const;
    // The test bed is not thread-safe; devices plug and unplug from several threads.
    std::mutex& Mutex() { return mutex_; }
    // Where the devices tell of their comings and goings; set before they start.
    void SetTell(std::function<void(const std::string&)> tell) { tell_ = std::move(tell); }
    void Tell(const std::string& line) const {
        if (tell_) tell_(line);
    }

private:
    UMockdevTestbed* testbed_ = nullptr;
    std::vector<UMockdevTestbed*> servers_;
    std::function<void(const std::string&)> tell_;
    std::string privateTmpDir_; // only when TMPDIR is too long for the ioctl socket path
    std::mutex mutex_;
};

class UmockdevDevice {
public:
    struct Counts {
        uint64_t InTransfers = 0, OutTransfers = 0, Frames = 0, PollFrames = 0;
        bool Unplugged = false;
    };

    // Device `number` (from 1) is on port 1-`number` of bus 001, as device number + 1 (a
    // replug may give it another). The bed and the delayed calls outlive it.
    UmockdevDevice(UmockdevBed& bed, DelayedCalls& later, int number, const DeviceOptions& options);
    ~UmockdevDevice();
    UmockdevDevice(const UmockdevDevice&) = delete; // its handler points back to it
    UmockdevDevice& operator=(const UmockdevDevice&) = delete;

    // Attaches its handler to every node it will have and plugs it in, unless its schedule
    // brings it later. On failure: false and the reason.
    bool Start(std::string& error);
    // Its schedule runs from `ready` on.
    void RunSchedule(DelayedCalls::Clock::time_point ready);

    bool PresentAtStart() const { return presentAtStart_; }
    const std::string& DevNode() const { return devNode_; } // until the first replug
    Counts GetCounts();
    // The record and memory dumps that the options ask for, of the unit in the port now;
    // call once the program ended.
    bool WriteResults(std::string& error);

private:
    // What a transfer comes to: Result (bytes or -errno) at once, or a hang.
    struct Outcome {
        int Result = 0;
        bool Hangs = false;
        int HangMs = 0; // how long a synchronous transfer hangs before -ETIMEDOUT
    };
    // A URB from USBDEVFS_SUBMITURB until it is reaped.
    struct Urb {
        UMockdevIoctlClient* Client;
        uint64_t Address; // the URB's address in the program, as DISCARDURB names it
        UMockdevIoctlData* UrbData;
        UMockdevIoctlData* Buffer;
        int Status = 0, ActualLength = 0;
        bool Done = false;
    };
    struct ClientUrbs {
        std::deque<std::shared_ptr<Urb>> InFlight, Reapable;
        UMockdevIoctlClient* WaitingReaper = nullptr; // a reap waiting for a completion
        uint64_t ReaperTicket = 0;                    // which wait a give-up call belongs to
    };

    static gboolean OnIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
    static void OnClientVanished(UMockdevIoctlBase* handler, UMockdevIoctlClient* client,
                                 gpointer self);
    gboolean HandleControl(UMockdevIoctlClient* client);
    bool NewTalker(UMockdevIoctlClient* client); // its first transfer: the program opened us
    static void ClientFinalized(gpointer self, GObject* client);
    gboolean HandleSubmitUrb(UMockdevIoctlClient* client);
    gboolean HandleReapUrb(UMockdevIoctlClient* client, bool wait);
    gboolean HandleDiscardUrb(UMockdevIoctlClient* client);
    Outcome Transfer(UMockdevIoctlClient* client, Direction dir, uint8_t* bytes, int size,
                     int requestedTimeoutMs);
    // With the mutex held: the URB completes and becomes reapable.
    void FinishUrb(const std::shared_ptr<Urb>& urb, int status, int actualLength);
    void AnswerReap(UMockdevIoctlClient* reaper, const std::shared_ptr<Urb>& urb);
    void DropUrbs(UMockdevIoctlClient* client);
    // With the mutex held: whether the client opened the node the device has now (one of an
    // earlier arrival's is dead for good).
    bool OnCurrentNode(UMockdevIoctlClient* client) const;
    void Unplug();
    void Replug();
    void Arrive(int deviceNumber);
    void Leave();
    // With the mutex held: into the bed, or out of it, with a line told of it.
    void PlugIn();
    void Remove();
    std::string PortPath() const; // "1-2"
    void TellChange(const std::string& what) const;
    void NextUnit();
    bool WriteUnitResults(std::string& error);
    const TransferFault* FaultFor(Direction dir, uint64_t number) const;
    std::string Description() const;

    UmockdevBed& bed_;
    DelayedCalls& later_;
    const int number_;
    const DeviceOptions& options_;
    const std::string sysPath_; // its port path's: the same after a replug
    const bool presentAtStart_;
    DelayedCalls::Clock::time_point ready_ = DelayedCalls::Clock::now();
    int deviceNumber_;
    std::string devNode_;
    UMockdevIoctlBase* handler_ = nullptr;
    // Held by each handler call: the device is set up and torn down on the main thread, and
    // the test bed's thread must not run a handler before or after (glib's hand-over between
    // the two threads is one ThreadSanitizer cannot see).
    std::mutex handling_;
    bool serving_ = false;
    std::mutex mutex_;
    DeviceModel model_;
    uint64_t unit_ = 1;    // the arrival whose unit is in the port, or is due next
    bool arrived_ = false; // whether that unit has been plugged in yet
    uint64_t changes_ = 0; // scheduled changes so far: a replug still due from before is void
    Counts earlier_;       // of the units before this one
    std::string resultError_;
    uint64_t transfers_ = 0, inTransfers_ = 0, outTransfers_ = 0; // this unit's
    bool unplugged_ = false;
    std::map<UMockdevIoctlClient*, ClientUrbs> urbs_;
    // Clients (opens of the node) that have made a control transfer: the first transfer of a
    // new one is the program opening the device, which the device greets with its first frame.
    std::set<UMockdevIoctlClient*> talking_;
    std::mutex talkingMutex_; // taken alone, or inside mutex_: a client may end under either
};

} // namespace ktr::sim
