#include "HarnessOptions.h"

#include <glib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <set>
#include <string_view>

namespace ktr::sim {

namespace {

struct ErrnoName {
    const char* Name;
    int Value;
};
constexpr ErrnoName kErrnoNames[] = {
    {"EIO", EIO},
    {"EPIPE", EPIPE},
    {"ENODEV", ENODEV},
    {"ETIMEDOUT", ETIMEDOUT},
    {"EPROTO", EPROTO},
    {"ESHUTDOWN", ESHUTDOWN},
    {"EOVERFLOW", EOVERFLOW},
    {"EILSEQ", EILSEQ},
    {"ENOENT", ENOENT},
};

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || parsed > max) return false;
    value = parsed;
    return true;
}

// Seconds with a decimal point ("0.3", "2.0"), to the microsecond: a whole number given to
// --unplug-at stays a transfer count.
bool ParseSeconds(const std::string& text, std::chrono::microseconds& value) {
    const size_t point = text.find('.');
    if (point == std::string::npos || text.size() == 1 || point > 5 || text.size() - point > 7 ||
        !std::all_of(text.begin(), text.end(),
                     [](char c) { return c == '.' || std::isdigit(uint8_t(c)); }) ||
        text.find('.', point + 1) != std::string::npos)
        return false;
    std::string fraction = text.substr(point + 1);
    fraction.resize(6, '0');
    value = std::chrono::seconds(std::atoi(text.substr(0, point).c_str())) +
            std::chrono::microseconds(std::atoi(fraction.c_str()));
    return true;
}

std::string Seconds(std::chrono::microseconds at) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", double(at.count()) / 1e6);
    return text;
}

bool ParseErrno(const std::string& text, int& value) {
    for (const ErrnoName& entry : kErrnoNames) {
        if (text == entry.Name) {
            value = entry.Value;
            return true;
        }
    }
    uint64_t number = 0;
    if (!ParseUnsigned(text, 4095, number) || number == 0) return false;
    value = int(number);
    return true;
}

std::vector<std::string> SplitColons(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos) return parts;
        start = colon + 1;
    }
}

// K[:N[:ERR]] for failures, K[:N] for timeouts.
bool ParseFault(const std::string& text, Direction dir, bool timesOut, TransferFault& fault) {
    const std::vector<std::string> parts = SplitColons(text);
    if (parts.size() > (timesOut ? 2u : 3u)) return false;
    fault = {dir, 0, 1, timesOut, timesOut ? ETIMEDOUT : EIO};
    if (!ParseUnsigned(parts[0], UINT64_MAX, fault.First) || fault.First == 0) return false;
    if (parts.size() > 1 && (!ParseUnsigned(parts[1], UINT64_MAX, fault.Count) || fault.Count == 0))
        return false;
    return parts.size() < 3 || ParseErrno(parts[2], fault.Error);
}

// The device's texts are code page 1251; the command line is UTF-8.
bool ToCodePage1251(const std::string& utf8, std::string& out) {
    gsize written = 0;
    GError* error = nullptr;
    gchar* converted = g_convert_with_fallback(utf8.c_str(), gssize(utf8.size()), "CP1251", "UTF-8",
                                               "?", nullptr, &written, &error);
    if (!converted) {
        g_clear_error(&error);
        return false;
    }
    out.assign(converted, written);
    g_free(converted);
    return true;
}

// Options that describe one device; under --on-device K they apply to device K alone.
constexpr std::string_view kDeviceValueOptions[] = {"--kind",
                                                    "--name",
                                                    "--flash-size",
                                                    "--eeprom-size",
                                                    "--aux-size",
                                                    "--claim-flash-size",
                                                    "--claim-eeprom-size",
                                                    "--claim-aux-size",
                                                    "--latency-us",
                                                    "--answer-delay-us",
                                                    "--answer-after-empty-reads",
                                                    "--hello-after-empty-reads",
                                                    "--ignore-type",
                                                    "--fail-in",
                                                    "--fail-out",
                                                    "--timeout-in",
                                                    "--timeout-out",
                                                    "--timeout-ms",
                                                    "--silent-after",
                                                    "--unplug-at",
                                                    "--plug-at",
                                                    "--replug-after-ms",
                                                    "--replug-as",
                                                    "--hang-at",
                                                    "--hang-for-ms",
                                                    "--mismatch-verify-at",
                                                    "--noise",
                                                    "--record",
                                                    "--dump-flash",
                                                    "--dump-eeprom",
                                                    "--dump-aux"};
constexpr std::string_view kRunValueOptions[] = {"--devices", "--on-device", "--kill-after-s",
                                                 "--stats"};
constexpr int kMaxDevices = 16; // bus 001, devices 002 to 017

template <size_t N> bool OneOf(const std::string& option, const std::string_view (&list)[N]) {
    return std::find(std::begin(list), std::end(list), option) != std::end(list);
}

// One option as given, with the device section it stands in (0: every device).
struct Item {
    std::string Option, Value;
    int Section = 0;
};

std::string ApplyDeviceOption(const Item& item, DeviceOptions& device) {
    const std::string& option = item.Option;
    const std::string& text = item.Value;
    const std::string bad = "bad value '" + text + "' for " + option;
    uint64_t number = 0;
    TransferFault fault;
    if (option == "--no-first-frame") {
        device.Device.SendsFirstFrame = false;
    } else if (option == "--kind") {
        if (!ParseUnsigned(text, 255, number)) return bad;
        device.Device.Kind = uint32_t(number);
    } else if (option == "--name") {
        if (!ToCodePage1251(text, device.Device.Name)) return bad + " (not UTF-8)";
        if (device.Device.Name.size() > 255) return bad + " (longer than 255 characters)";
    } else if (option == "--flash-size" || option == "--eeprom-size" || option == "--aux-size" ||
               option == "--claim-flash-size" || option == "--claim-eeprom-size" ||
               option == "--claim-aux-size") {
        if (!ParseUnsigned(text, UINT32_MAX, number)) return bad;
        const bool claim = option.rfind("--claim-", 0) == 0;
        DeviceConfig& config = device.Device;
        uint32_t& size = option.find("flash") != std::string::npos
                             ? (claim ? config.ClaimedFlashSize : config.FlashSize)
                         : option.find("eeprom") != std::string::npos
                             ? (claim ? config.ClaimedEepromSize : config.EepromSize)
                             : (claim ? config.ClaimedAuxSize : config.AuxSize);
        size = uint32_t(number);
    } else if (option == "--latency-us") {
        if (!ParseUnsigned(text, 10'000'000, number)) return bad;
        device.LatencyUs = int(number);
    } else if (option == "--answer-delay-us") {
        if (!ParseUnsigned(text, 10'000'000, number)) return bad;
        device.Device.AnswerDelayUs = uint32_t(number);
    } else if (option == "--answer-after-empty-reads" || option == "--hello-after-empty-reads") {
        if (!ParseUnsigned(text, 1'000'000, number)) return bad;
        (option == "--hello-after-empty-reads" ? device.Device.HelloAfterEmptyReads
                                               : device.Device.AnswerAfterEmptyReads) = int(number);
    } else if (option == "--ignore-type") {
        if (!ParseUnsigned(text, 255, number)) return bad;
        device.Device.IgnoredTypes.set(number);
    } else if (option == "--fail-in" || option == "--fail-out" || option == "--timeout-in" ||
               option == "--timeout-out") {
        const Direction dir =
            option.find("-in") != std::string::npos ? Direction::In : Direction::Out;
        if (!ParseFault(text, dir, option.rfind("--timeout", 0) == 0, fault)) return bad;
        device.Faults.push_back(fault);
    } else if (option == "--timeout-ms") {
        if (!ParseUnsigned(text, 600'000, number)) return bad;
        device.TimeoutDelayMs = int(number);
    } else if (option == "--silent-after") {
        if (!ParseUnsigned(text, UINT64_MAX, number) || number == 0) return bad;
        device.SilentAfterFrames = number;
    } else if (option == "--plug-at" ||
               (option == "--unplug-at" && text.find('.') != std::string::npos)) {
        std::chrono::microseconds at{};
        if (!ParseSeconds(text, at))
            return bad + (text.rfind('-', 0) == 0 ? " (a time before the start)"
                                                  : " (seconds with a decimal point, e.g. 0.5)");
        device.Schedule.push_back({at, option == "--plug-at"});
    } else if (option == "--unplug-at" || option == "--hang-at") {
        if (!ParseUnsigned(text, UINT64_MAX, number) || number == 0) return bad;
        (option == "--unplug-at" ? device.UnplugAtTransfer : device.HangAtTransfer) = number;
    } else if (option == "--replug-after-ms" || option == "--hang-for-ms") {
        if (!ParseUnsigned(text, 600'000, number)) return bad;
        (option == "--replug-after-ms" ? device.ReplugAfterMs : device.HangForMs) = int(number);
    } else if (option == "--replug-as") {
        if (!ParseUnsigned(text, 127, number) || number < 2) return bad;
        device.ReplugDeviceNumber = int(number);
    } else if (option == "--mismatch-verify-at") {
        if (!ParseUnsigned(text, UINT32_MAX, number)) return bad;
        device.VerifyMismatches.push_back(uint32_t(number));
    } else if (option == "--noise") {
        device.Noise.clear();
        if (text.empty() || text.size() % 2 != 0) return bad;
        for (size_t i = 0; i < text.size(); i += 2) {
            if (!std::isxdigit(uint8_t(text[i])) || !std::isxdigit(uint8_t(text[i + 1])))
                return bad;
            device.Noise.push_back(uint8_t(std::stoi(text.substr(i, 2), nullptr, 16)));
        }
    } else if (option == "--record") {
        device.RecordPath = text;
    } else if (option == "--dump-flash") {
        device.FlashDumpPath = text;
    } else if (option == "--dump-eeprom") {
        device.EepromDumpPath = text;
    } else if (option == "--dump-aux") {
        device.AuxDumpPath = text;
    }
    return {};
}

// "{n}" becomes the device's number. With several devices, a file named for all of them
// would be written by each in turn: refused.
std::string NumberPath(std::string& path, const char* option, int number, bool shared) {
    if (path.empty()) return {};
    const size_t mark = path.find("{n}");
    if (mark == std::string::npos)
        return shared ? std::string(option) + " " + path +
                            " would be written by every device: put {n} in it, or give it "
                            "under --on-device"
                      : std::string();
    for (size_t at = mark; at != std::string::npos; at = path.find("{n}", at))
        path.replace(at, 3, std::to_string(number));
    return {};
}

// Puts device K's changes in time order; each must change its presence.
std::string CheckSchedule(DeviceOptions& device, int number) {
    std::vector<PlugChange>& schedule = device.Schedule;
    std::stable_sort(schedule.begin(), schedule.end(),
                     [](const PlugChange& a, const PlugChange& b) { return a.At < b.At; });
    const std::string who = "device " + std::to_string(number);
    bool in = std::none_of(schedule.begin(), schedule.end(),
                           [](const PlugChange& change) { return change.Plug; });
    for (size_t i = 0; i < schedule.size(); ++i) {
        const PlugChange& change = schedule[i];
        if (i > 0 && schedule[i - 1].At == change.At)
            return who + " is plugged in or unplugged twice at " + Seconds(change.At);
        if (change.Plug && in)
            return who + " is plugged in at " + Seconds(change.At) + " while still in (since " +
                   Seconds(schedule[i - 1].At) + ")";
        if (!change.Plug && !in)
            return who + " is unplugged at " + Seconds(change.At) + " while not plugged in" +
                   (i > 0 ? " (out since " + Seconds(schedule[i - 1].At) + ")"
                          : " (it has a --plug-at, so it is absent at start)");
        in = change.Plug;
    }
    if (device.ReplugDeviceNumber != 0 &&
        std::count_if(schedule.begin(), schedule.end(),
                      [](const PlugChange& change) { return change.Plug; }) > 1)
        return who + ": --replug-as names one number, and each arrival needs one of its own";
    return {};
}

// The kernel numbers every arrival anew: device K arrives first as K + 1 (at start or at its
// first --plug-at), its later arrivals take the numbers after the last device's, in the order
// they come. None is used twice in a run.
std::string NumberArrivals(std::vector<DeviceOptions>& devices) {
    std::vector<std::pair<PlugChange*, int>> later; // with the device's number, for ties
    std::set<int> taken;
    for (size_t i = 0; i < devices.size(); ++i) {
        taken.insert(int(i) + 2);
        bool first = true;
        for (PlugChange& change : devices[i].Schedule)
            if (change.Plug) {
                if (first)
                    change.DeviceNumber = int(i) + 2;
                else
                    later.emplace_back(&change, int(i));
                first = false;
            }
    }
    std::stable_sort(later.begin(), later.end(), [](const auto& a, const auto& b) {
        return std::pair(a.first->At, a.second) < std::pair(b.first->At, b.second);
    });
    int next = int(devices.size()) + 2;
    for (auto& [change, device] : later) {
        if (next > 127) return "the schedule plugs in more devices than bus 001 can number (126)";
        change->DeviceNumber = next;
        taken.insert(next++);
    }
    for (size_t i = 0; i < devices.size(); ++i) {
        const int as = devices[i].ReplugDeviceNumber;
        if (as != 0 && as != int(i) + 2 && !taken.insert(as).second)
            return "--replug-as " + std::to_string(as) + " of device " + std::to_string(i + 1) +
                   " is a number another arrival has";
    }
    return {};
}

} // namespace

const char* HarnessUsage() {
    return R"(Usage: usbsim-harness [OPTIONS] -- PROGRAM [ARGS...]

Plays simulated devices 1000:6666 to PROGRAM through umockdev: PROGRAM runs with
libumockdev-preload.so.0 and finds them where libusb looks for USB devices (libusb
0.1 and 1.0 alike). The exit status is PROGRAM's (128 + signal if it was killed by
a signal), 124 if the kill-after guard had to kill it, 125 if the harness itself
failed, 127 if PROGRAM was not found. A PROGRAM without a slash is looked up in
PATH, then beside the harness.

Devices:
  --devices N              N devices at once (1 to 16; default 1), on bus 001 as
                           devices 002 to N+1, each with its own memories. With
                           more than one, each name gets " #K" appended (K from
                           1) unless --on-device K gives it a --name
  --on-device K            the device, fault and result-file options that follow,
                           up to the next --on-device, apply to device K alone;
                           those before the first --on-device apply to every
                           device

Device:
  --kind N                 device kind in every signature (default 1; any 0-255)
  --name TEXT              identification text, UTF-8 (sent in code page 1251)
  --flash-size BYTES       FLASH size (default 131072)
  --eeprom-size BYTES      EEPROM size (default 4096)
  --aux-size BYTES         AUX size (default 8192)
  --claim-flash-size BYTES the size the device reports for FLASH, while its memory
                           keeps --flash-size: reads beyond it answer 0xFF, writes
                           beyond it are answered and dropped; likewise
                           --claim-eeprom-size, --claim-aux-size
  --latency-us US          time each transfer takes (default 1000; 0 for speed)
  --answer-delay-us US     the answer to a host frame becomes readable only US
                           after the frame arrived; reads meanwhile bring 0 bytes
  --no-first-frame         the device never announces itself
  --answer-after-empty-reads N
                           each answer is readable only after N reads that bring
                           0 bytes (default 0)
  --hello-after-empty-reads N
                           a kindness the device contract does not promise: after
                           N empty reads in a row the device announces itself again
                           with a poll frame (default 0: never; the device speaks
                           unasked only with its first frame after an open)
  --ignore-type T          frames of Type T get no answer, all else does (e.g.
                           0x01: answers polls, never identifies; repeatable)

Faults (transfers are numbered from 1 in their own direction; repeatable):
  --fail-in K[:N[:ERR]]    IN transfers K to K+N-1 fail with ERR (default N 1,
                           ERR EIO; a name such as EPIPE, ENODEV, or a number)
  --fail-out K[:N[:ERR]]   the same for OUT transfers; the device never sees them
  --timeout-in K[:N]       IN transfers K to K+N-1 hang, then fail with ETIMEDOUT
  --timeout-out K[:N]      the same for OUT transfers
  --timeout-ms MS          how long a timed-out transfer hangs (default: the
                           timeout the transfer asked for); a libusb-1.0 URB has
                           none: it hangs until the program discards it
  --hang-at K              from the K-th transfer on (IN and OUT counted
                           together), every transfer hangs as --timeout-in does,
                           until the device is replugged
  --hang-for-ms MS         the hang ends by itself MS after it began
  --silent-after K         answer the first K host frames, then nothing more
  --unplug-at K            unplug at the K-th transfer (IN and OUT counted
                           together): that and every later transfer fails with
                           ENODEV and the device leaves the bus
  --replug-after-ms MS     plug it back in MS after the unplug (default: never)
  --replug-as N            replug into the same port as device number N (2 to
                           127; default: the number it had), as the kernel
                           numbers a replugged device anew; libusb 1.0 learns of
                           that from udev's events, which the harness does not
                           send, so it lists the old number still
  --mismatch-verify-at A   the next verify of the block at address A reports a
                           mismatch (repeatable; 0x for hexadecimal)
  --noise HEX              the device's output starts with these bytes (e.g.
                           53525107 for the start of a frame of kind 7)

Coming and going (S: seconds from the harness being ready, always with a decimal
point, such as 0.5 or 2.0; repeatable; each change is told on stderr):
  --plug-at S              the device is absent at start and plugged in at S. Each
                           arrival is a new unit: memories as at start, faults and
                           transfer counts afresh, its first frame after the
                           program opens it; in the same port (1-K) under a new
                           device number: K+1 the first time, then N+2, N+3 and
                           on (N: --devices) in the order the arrivals come, none
                           used twice in the run. A program on libusb 0.1 sees
                           each change at its next scan; one on libusb 1.0 sees
                           none after its start (no udev events are sent)
  --unplug-at S            unplug it at S, as --unplug-at K does at a transfer;
                           without a --plug-at it is present from the start.
                           Plugging in a device that is in, or unplugging one that
                           is out, is refused

Run and results ("{n}" in a FILE is the device's number; with several devices
a result file given for all of them needs it; "{a}" is the arrival, from 1: a
unit's results are written as the next arrival replaces it, the last at the end,
and a FILE without "{a}" holds the last arrival's):
  --kill-after-s S         SIGKILL PROGRAM if it still runs after S seconds
                           (default 60)
  --record FILE            afterwards, every OUT transfer the device received, in
                           order, one line each of upper-case hex bytes
  --dump-flash FILE        afterwards, the FLASH contents (its size, erased bytes
                           0xFF); likewise --dump-eeprom, --dump-aux
  --stats FILE             afterwards, counts over all devices and PROGRAM's CPU
                           time, "key value"
  --quiet                  no messages of the harness's own on stderr
  -h, --help               this text

Example: three devices, the second of which mismatches and the third hangs:
  usbsim-harness --devices 3 --dump-flash flash{n}.bin --on-device 2
      --mismatch-verify-at 0x100 --on-device 3 --hang-at 40 -- ktr-cli ...

Example: three sockets and five units passing through, the one in socket 3 failing:
  usbsim-harness --devices 3 --dump-flash flash{n}-{a}.bin
      --on-device 1 --plug-at 0.5 --unplug-at 4.0 --plug-at 5.0
      --on-device 2 --plug-at 1.0 --unplug-at 4.5 --plug-at 5.5
      --on-device 3 --plug-at 1.5 --mismatch-verify-at 0x100 -- ktr-cli ...
)";
}

std::string ParseHarnessOptions(int argc, char** argv, HarnessOptions& options) {
    std::vector<Item> items;
    int section = 0, deviceCount = 1;
    for (int i = 0; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--") {
            for (++i; i < argc; ++i)
                options.Command.emplace_back(argv[i]);
            break;
        }
        if (option == "-h" || option == "--help") {
            options.ShowHelp = true;
            return {};
        }
        if (option == "--quiet") {
            options.Quiet = true;
            continue;
        }
        if (option == "--no-first-frame") {
            items.push_back({option, {}, section});
            continue;
        }
        if (option.rfind("--", 0) != 0) return "unexpected argument '" + option + "' (missing --?)";
        const bool deviceOption = OneOf(option, kDeviceValueOptions);
        if (!deviceOption && !OneOf(option, kRunValueOptions)) return "unknown option " + option;
        if (i + 1 >= argc) return option + " needs a value";
        const std::string text = argv[++i];
        const std::string bad = "bad value '" + text + "' for " + option;
        if (deviceOption) {
            items.push_back({option, text, section});
            continue;
        }
        if (section != 0 && option != "--on-device")
            return option + " concerns the whole run: give it before --on-device";
        uint64_t number = 0;
        if (option == "--on-device") {
            if (!ParseUnsigned(text, kMaxDevices, number) || number == 0) return bad;
            section = int(number);
        } else if (option == "--devices") {
            if (!ParseUnsigned(text, kMaxDevices, number) || number == 0)
                return bad + " (1 to " + std::to_string(kMaxDevices) + ")";
            deviceCount = int(number);
        } else if (option == "--kill-after-s") {
            if (!ParseUnsigned(text, 86'400, number) || number == 0) return bad;
            options.KillAfterS = int(number);
        } else if (option == "--stats") {
            options.StatsPath = text;
        }
    }
    for (const Item& item : items)
        if (item.Section > deviceCount)
            return "--on-device " + std::to_string(item.Section) + " names no device (--devices " +
                   std::to_string(deviceCount) + ")";

    DeviceOptions common;
    for (const Item& item : items)
        if (item.Section == 0)
            if (std::string problem = ApplyDeviceOption(item, common); !problem.empty())
                return problem;
    options.Devices.assign(size_t(deviceCount), common);
    const bool shared = deviceCount > 1;
    for (int number = 1; number <= deviceCount; ++number) {
        DeviceOptions& device = options.Devices[size_t(number - 1)];
        bool named = false;
        for (const Item& item : items) {
            if (item.Section != number) continue;
            if (std::string problem = ApplyDeviceOption(item, device); !problem.empty())
                return problem;
            named = named || item.Option == "--name";
        }
        // Several devices tell themselves apart by name; one keeps the name as given.
        if (shared && !named) {
            const std::string suffix = " #" + std::to_string(number);
            std::string& name = device.Device.Name;
            name = name.substr(0, 255 - suffix.size()) + suffix;
        }
        const struct {
            std::string& Path;
            const std::string& Common;
            const char* Option;
        } paths[] = {{device.RecordPath, common.RecordPath, "--record"},
                     {device.FlashDumpPath, common.FlashDumpPath, "--dump-flash"},
                     {device.EepromDumpPath, common.EepromDumpPath, "--dump-eeprom"},
                     {device.AuxDumpPath, common.AuxDumpPath, "--dump-aux"}};
        for (const auto& path : paths) {
            const bool everyDevice = shared && path.Path == path.Common;
            if (std::string problem = NumberPath(path.Path, path.Option, number, everyDevice);
                !problem.empty())
                return problem;
        }
        if (std::string problem = CheckSchedule(device, number); !problem.empty()) return problem;
    }
    if (std::string problem = NumberArrivals(options.Devices); !problem.empty()) return problem;
    if (options.Command.empty()) return "no program given (usbsim-harness [OPTIONS] -- PROGRAM)";
    return {};
}

} // namespace ktr::sim
