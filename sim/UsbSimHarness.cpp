// usbsim-harness: runs a program on the real libusb against a simulated device 1000:6666,
// played through umockdev. See HarnessUsage() for the command line.
#include "harness/HarnessOptions.h"
#include "harness/UmockdevDevice.h"

#include <glib-unix.h>
#include <glib.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

extern char** environ;

namespace {

using namespace ktr::sim;

constexpr int kExitKilled = 124;
constexpr int kExitHarnessFailed = 125;
constexpr int kExitCannotRun = 126;
constexpr int kExitNotFound = 127;
constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";
// ASan insists on coming first among the libraries; the preload library has to.
constexpr const char* kAsanPreloadOption = "verify_asan_link_order=0";

bool quiet = false;

void Say(const char* format, ...) {
    if (quiet) return;
    va_list args;
    va_start(args, format);
    std::fputs("usbsim-harness: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

// umockdev complains when the bed is closed under a client it still owes an answer: the
// program ended while a transfer it had given up on was still held here. The program is gone
// by then, so that one complaint is noise; every other message goes out as glib writes it.
GLogWriterOutput DropClosedUnderClient(GLogLevelFlags level, const GLogField* fields, gsize count,
                                       gpointer data) {
    for (gsize i = 0; i < count; ++i)
        if (std::strcmp(fields[i].key, "MESSAGE") == 0 && fields[i].length < 0 &&
            std::strstr(static_cast<const char*>(fields[i].value),
                        "Destroying IoctlClient with open stream"))
            return G_LOG_WRITER_HANDLED;
    return g_log_writer_default(level, fields, count, data);
}

bool IsExecutableFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

// A bare name is looked up in PATH, then beside the harness, so that both programs of a
// build can be named without their directory.
std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return IsExecutableFile(name) ? name : std::string();
    std::vector<std::string> dirs;
    if (const char* path = std::getenv("PATH")) {
        std::string list = path;
        size_t start = 0;
        for (size_t colon; (colon = list.find(':', start)) != std::string::npos; start = colon + 1)
            dirs.push_back(list.substr(start, colon - start));
        dirs.push_back(list.substr(start));
    }
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        const std::string selfPath(self, size_t(length));
        dirs.push_back(selfPath.substr(0, selfPath.rfind('/')));
    }
    for (const std::string& dir : dirs) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (IsExecutableFile(candidate)) return candidate;
    }
    return {};
}

std::vector<std::string> ProgramEnvironment() {
    std::vector<std::string> env;
    bool hasPreload = false, hasAsan = false;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        if (text.rfind("LD_PRELOAD=", 0) == 0) {
            const std::string rest = text.substr(11);
            text = std::string("LD_PRELOAD=") + kPreloadLibrary + (rest.empty() ? "" : ":" + rest);
            hasPreload = true;
        } else if (text.rfind("ASAN_OPTIONS=", 0) == 0) {
            if (text.find("verify_asan_link_order") == std::string::npos)
                text += std::string(text.size() > 13 ? ":" : "") + kAsanPreloadOption;
            hasAsan = true;
        }
        env.push_back(std::move(text));
    }
    if (!hasPreload) env.push_back(std::string("LD_PRELOAD=") + kPreloadLibrary);
    if (!hasAsan) env.push_back(std::string("ASAN_OPTIONS=") + kAsanPreloadOption);
    return env;
}

struct ProgramRun {
    pid_t Pid = 0;
    GMainLoop* Loop = nullptr;
    int WaitStatus = 0;
    bool Killed = false;
    int KillAfterS = 0;
    double UserS = 0, SystemS = 0, ElapsedS = 0;
};

struct SignalForward {
    ProgramRun* Run;
    int Signal;
};

void OnProgramExit(GPid, gint status, gpointer data) {
    auto* run = static_cast<ProgramRun*>(data);
    run->WaitStatus = status;
    g_main_loop_quit(run->Loop);
}

// A program stuck in a transfer that never completes ends only by SIGKILL.
gboolean OnKillAfter(gpointer data) {
    auto* run = static_cast<ProgramRun*>(data);
    Say("the program still runs after %d s: killing it", run->KillAfterS);
    run->Killed = true;
    kill(run->Pid, SIGKILL);
    return G_SOURCE_REMOVE;
}

// The harness must outlive the program: without it the program's next ioctl aborts.
gboolean OnSignal(gpointer data) {
    const auto* forward = static_cast<const SignalForward*>(data);
    kill(forward->Run->Pid, forward->Signal);
    return G_SOURCE_CONTINUE;
}

// Returns the exit status to report, or a harness failure code.
int RunProgram(const std::string& path, const HarnessOptions& options, ProgramRun& run) {
    std::vector<std::string> env = ProgramEnvironment();
    std::vector<char*> envp, argv;
    for (std::string& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = options.Command;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    const gint64 start = g_get_monotonic_time();
    const int spawnError =
        posix_spawn(&run.Pid, path.c_str(), nullptr, nullptr, argv.data(), envp.data());
    if (spawnError != 0) {
        Say("cannot run %s: %s", path.c_str(), std::strerror(spawnError));
        return kExitCannotRun;
    }
    run.Loop = g_main_loop_new(nullptr, FALSE);
    run.KillAfterS = options.KillAfterS;
    g_child_watch_add(run.Pid, OnProgramExit, &run);
    const guint killSource = g_timeout_add_seconds(guint(options.KillAfterS), OnKillAfter, &run);
    SignalForward forwards[] = {{&run, SIGINT}, {&run, SIGTERM}, {&run, SIGHUP}};
    std::vector<guint> signalSources;
    for (SignalForward& forward : forwards)
        signalSources.push_back(g_unix_signal_add(forward.Signal, OnSignal, &forward));
    g_main_loop_run(run.Loop);
    if (!run.Killed) g_source_remove(killSource);
    for (guint source : signalSources)
        g_source_remove(source);
    g_main_loop_unref(run.Loop);
    run.ElapsedS = double(g_get_monotonic_time() - start) / 1e6;

    // The program is the only child ever waited for, so this is its own CPU time.
    struct rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);
    run.UserS = double(usage.ru_utime.tv_sec) + double(usage.ru_utime.tv_usec) / 1e6;
    run.SystemS = double(usage.ru_stime.tv_sec) + double(usage.ru_stime.tv_usec) / 1e6;

    if (run.Killed) return kExitKilled;
    if (WIFSIGNALED(run.WaitStatus)) return 128 + WTERMSIG(run.WaitStatus);
    return WEXITSTATUS(run.WaitStatus);
}

std::string DeviceNameUtf8(const std::string& cp1251) {
    gchar* utf8 = g_convert(cp1251.data(), gssize(cp1251.size()), "UTF-8", "CP1251", nullptr,
                            nullptr, nullptr);
    std::string name = utf8 ? utf8 : "?";
    g_free(utf8);
    return name;
}

bool WriteStats(const std::string& path, const UmockdevDevice::Counts& counts, int status,
                const ProgramRun& run) {
    std::ofstream out(path, std::ios::trunc);
    out << "in_transfers " << counts.InTransfers << "\nout_transfers " << counts.OutTransfers
        << "\nframes " << counts.Frames << "\npoll_frames " << counts.PollFrames
        << "\nprogram_status " << status << "\nprogram_user_s " << run.UserS
        << "\nprogram_system_s " << run.SystemS << "\nprogram_elapsed_s " << run.ElapsedS << '\n';
    return bool(out.flush());
}

} // namespace

int main(int argc, char** argv) {
    HarnessOptions options;
    const std::string problem = ParseHarnessOptions(argc - 1, argv + 1, options);
    if (options.ShowHelp) {
        std::fputs(HarnessUsage(), stdout);
        return 0;
    }
    if (!problem.empty()) {
        std::fprintf(stderr, "usbsim-harness: %s\nTry 'usbsim-harness --help'.\n", problem.c_str());
        return kExitHarnessFailed;
    }
    quiet = options.Quiet;
    const std::string program = FindProgram(options.Command[0]);
    if (program.empty()) {
        Say("%s: no such program (looked in PATH and beside the harness)",
            options.Command[0].c_str());
        return kExitNotFound;
    }

    g_log_set_writer_func(DropClosedUnderClient, nullptr, nullptr);
    UmockdevBed bed;
    bed.SetTell([](const std::string& line) { Say("%s", line.c_str()); });
    DelayedCalls later;
    std::vector<std::unique_ptr<UmockdevDevice>> devices;
    std::string error;
    bool started = bed.Start(error);
    for (size_t i = 0; started && i < options.Devices.size(); ++i) {
        const DeviceOptions& device = options.Devices[i];
        devices.push_back(std::make_unique<UmockdevDevice>(bed, later, int(i + 1), device));
        started = devices.back()->Start(error);
        if (started && devices.back()->PresentAtStart())
            Say("simulated device 1000:6666 plugged in%s: kind %u, \"%s\", FLASH %u, EEPROM %u, "
                "AUX %u bytes",
                options.Devices.size() > 1 ? (" at " + devices.back()->DevNode().substr(13)).c_str()
                                           : "",
                device.Device.Kind, DeviceNameUtf8(device.Device.Name).c_str(),
                device.Device.FlashSize, device.Device.EepromSize, device.Device.AuxSize);
    }
    if (!started) {
        Say("%s", error.c_str());
        return kExitHarnessFailed;
    }

    const DelayedCalls::Clock::time_point ready = DelayedCalls::Clock::now();
    for (const auto& device : devices)
        device->RunSchedule(ready);
    ProgramRun run;
    const int status = RunProgram(program, options, run);
    later.Stop(); // nothing may touch a device from here on
    UmockdevDevice::Counts counts;
    for (const auto& device : devices) {
        const UmockdevDevice::Counts one = device->GetCounts();
        counts.InTransfers += one.InTransfers;
        counts.OutTransfers += one.OutTransfers;
        counts.Frames += one.Frames;
        counts.PollFrames += one.PollFrames;
        std::string problem;
        if (!device->WriteResults(problem)) {
            Say("%s", problem.c_str());
            error = problem;
        }
    }
    bed.Close();
    if (!options.StatsPath.empty() && !WriteStats(options.StatsPath, counts, status, run))
        Say("cannot write %s", options.StatsPath.c_str());
    if (run.Pid != 0)
        Say("the device%s received %llu frames (%llu OUT and %llu IN transfers); %s ended with "
            "status %d",
            devices.size() > 1 ? "s" : "", (unsigned long long)counts.Frames,
            (unsigned long long)counts.OutTransfers, (unsigned long long)counts.InTransfers,
            options.Command[0].c_str(), status);
    return error.empty() ? status : (status == 0 ? kExitHarnessFailed : status);
}
