#include "HarnessOptions.h"

#include <glib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
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

constexpr std::string_view kValueOptions[] = {
    "--kind",         "--name",       "--flash-size",      "--eeprom-size",
    "--aux-size",     "--latency-us", "--answer-delay-us", "--fail-in",
    "--fail-out",     "--timeout-in", "--timeout-out",     "--timeout-ms",
    "--silent-after", "--unplug-at",  "--replug-after-ms", "--mismatch-verify-at",
    "--kill-after-s", "--record",     "--dump-flash",      "--dump-eeprom",
    "--dump-aux",     "--stats"};

} // namespace

const char* HarnessUsage() {
    return R"(Usage: usbsim-harness [OPTIONS] -- PROGRAM [ARGS...]

Plays a simulated device 1000:6666 to PROGRAM through umockdev: PROGRAM runs with
libumockdev-preload.so.0 and finds the device where libusb looks for USB devices.
The exit status is PROGRAM's (128 + signal if it was killed by a signal), 124 if
the kill-after guard had to kill it, 125 if the harness itself failed, 127 if
PROGRAM was not found. A PROGRAM without a slash is looked up in PATH, then beside
the harness.

Device:
  --kind N                 device kind in every signature (default 1; any 0-255)
  --name TEXT              identification text, UTF-8 (sent in code page 1251)
  --flash-size BYTES       reported FLASH size (default 131072)
  --eeprom-size BYTES      reported EEPROM size (default 4096)
  --aux-size BYTES         reported AUX size (default 8192)
  --latency-us US          time each transfer takes (default 1000; 0 for speed)
  --answer-delay-us US     the answer to a host frame becomes readable only US
                           after the frame arrived; reads meanwhile bring 0 bytes
  --no-first-frame         the device never announces itself

Faults (transfers are numbered from 1 in their own direction; repeatable):
  --fail-in K[:N[:ERR]]    IN transfers K to K+N-1 fail with ERR (default N 1,
                           ERR EIO; a name such as EPIPE, ENODEV, or a number)
  --fail-out K[:N[:ERR]]   the same for OUT transfers; the device never sees them
  --timeout-in K[:N]       IN transfers K to K+N-1 hang, then fail with ETIMEDOUT
  --timeout-out K[:N]      the same for OUT transfers
  --timeout-ms MS          how long a timed-out transfer hangs (default: the
                           timeout the transfer asked for)
  --silent-after K         answer the first K host frames, then nothing more
  --unplug-at K            unplug at the K-th transfer (IN and OUT counted
                           together): that and every later transfer fails with
                           ENODEV and the device leaves the bus
  --replug-after-ms MS     plug it back in MS after the unplug (default: never)
  --mismatch-verify-at A   the next verify of the block at address A reports a
                           mismatch (repeatable; 0x for hexadecimal)

Run and results:
  --kill-after-s S         SIGKILL PROGRAM if it still runs after S seconds
                           (default 60)
  --record FILE            afterwards, every OUT transfer the device received, in
                           order, one line each of upper-case hex bytes
  --dump-flash FILE        afterwards, the FLASH contents (its reported size,
                           erased bytes 0xFF); likewise --dump-eeprom, --dump-aux
  --stats FILE             afterwards, counts and PROGRAM's CPU time, "key value"
  --quiet                  no messages of the harness's own on stderr
  -h, --help               this text
)";
}

std::string ParseHarnessOptions(int argc, char** argv, HarnessOptions& options) {
    int i = 0;
    auto nextValue = [&](std::string& out) {
        if (i + 1 >= argc) return false;
        out = argv[++i];
        return true;
    };
    for (; i < argc; ++i) {
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
        if (option == "--no-first-frame") {
            options.Device.SendsFirstFrame = false;
            continue;
        }
        if (option == "--quiet") {
            options.Quiet = true;
            continue;
        }
        if (option.rfind("--", 0) != 0) return "unexpected argument '" + option + "' (missing --?)";
        if (std::find(std::begin(kValueOptions), std::end(kValueOptions), option) ==
            std::end(kValueOptions))
            return "unknown option " + option;
        std::string text;
        if (!nextValue(text)) return option + " needs a value";
        const std::string bad = "bad value '" + text + "' for " + option;
        uint64_t number = 0;
        TransferFault fault;
        if (option == "--kind") {
            if (!ParseUnsigned(text, 255, number)) return bad;
            options.Device.Kind = uint32_t(number);
        } else if (option == "--name") {
            if (!ToCodePage1251(text, options.Device.Name)) return bad + " (not UTF-8)";
            if (options.Device.Name.size() > 255) return bad + " (longer than 255 characters)";
        } else if (option == "--flash-size" || option == "--eeprom-size" ||
                   option == "--aux-size") {
            if (!ParseUnsigned(text, UINT32_MAX, number)) return bad;
            uint32_t& size = option == "--flash-size"    ? options.Device.FlashSize
                             : option == "--eeprom-size" ? options.Device.EepromSize
                                                         : options.Device.AuxSize;
            size = uint32_t(number);
        } else if (option == "--latency-us") {
            if (!ParseUnsigned(text, 10'000'000, number)) return bad;
            options.LatencyUs = int(number);
        } else if (option == "--answer-delay-us") {
            if (!ParseUnsigned(text, 10'000'000, number)) return bad;
            options.Device.AnswerDelayUs = uint32_t(number);
        } else if (option == "--fail-in" || option == "--fail-out" || option == "--timeout-in" ||
                   option == "--timeout-out") {
            const Direction dir =
                option.find("-in") != std::string::npos ? Direction::In : Direction::Out;
            if (!ParseFault(text, dir, option.rfind("--timeout", 0) == 0, fault)) return bad;
            options.Faults.push_back(fault);
        } else if (option == "--timeout-ms") {
            if (!ParseUnsigned(text, 600'000, number)) return bad;
            options.TimeoutDelayMs = int(number);
        } else if (option == "--silent-after") {
            if (!ParseUnsigned(text, UINT64_MAX, number) || number == 0) return bad;
            options.SilentAfterFrames = number;
        } else if (option == "--unplug-at") {
            if (!ParseUnsigned(text, UINT64_MAX, number) || number == 0) return bad;
            options.UnplugAtTransfer = number;
        } else if (option == "--replug-after-ms") {
            if (!ParseUnsigned(text, 600'000, number)) return bad;
            options.ReplugAfterMs = int(number);
        } else if (option == "--mismatch-verify-at") {
            if (!ParseUnsigned(text, UINT32_MAX, number)) return bad;
            options.VerifyMismatches.push_back(uint32_t(number));
        } else if (option == "--kill-after-s") {
            if (!ParseUnsigned(text, 86'400, number) || number == 0) return bad;
            options.KillAfterS = int(number);
        } else if (option == "--record") {
            options.RecordPath = text;
        } else if (option == "--dump-flash") {
            options.FlashDumpPath = text;
        } else if (option == "--dump-eeprom") {
            options.EepromDumpPath = text;
        } else if (option == "--dump-aux") {
            options.AuxDumpPath = text;
        } else if (option == "--stats") {
            options.StatsPath = text;
        }
    }
    if (options.Command.empty()) return "no program given (usbsim-harness [OPTIONS] -- PROGRAM)";
    return {};
}

} // namespace ktr::sim
