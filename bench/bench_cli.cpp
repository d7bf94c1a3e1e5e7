// ktr-cli against the simulated device under usbsim-harness (the library KTR_USB_BACKEND
// names, else the build's): how long the program takes to end after SIGINT while a transfer
// hangs (the median of a few runs), and its peak memory when a device claims a 4 GiB EEPROM.
#include "BenchSupport.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kRuns = 5;
constexpr const char* kRssMode = "--peak-rss-kb-to"; // argv[1] of the measuring wrapper

using Clock = std::chrono::steady_clock;

// Starts argv with its stdout into *out (else to /dev/null) and stderr to /dev/null.
pid_t Spawn(const std::vector<std::string>& args, int* out) {
    int pipeFds[2] = {-1, -1};
    if (out && pipe(pipeFds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        dup2(out ? pipeFds[1] : null, STDOUT_FILENO);
        std::vector<char*> argv;
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (out) {
        close(pipeFds[1]);
        *out = pipeFds[0];
    }
    return pid;
}

// Appends what the program printed within timeoutMs; false when nothing came (ended: for good).
bool ReadSome(int fd, int timeoutMs, std::string& text, bool& ended) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) {
        ended = true;
        return false;
    }
    text.append(buffer, size_t(n));
    return true;
}

// One run: a write whose transfers hang for a minute from about block 38 on; once its
// output has stood still for a second, SIGINT (the harness hands it on). The milliseconds
// until the program has ended, or -1 if it did not end with 130.
double ExitMsAfterSigint(const std::string& image) {
    int out = -1;
    const pid_t harness =
        Spawn({KTR_HARNESS, "--quiet", "--latency-us", "0", "--hang-at", "100", "--timeout-ms",
               "60000", "--kill-after-s", "30", "--", KTR_CLI, "write", "--flash", image, "--json"},
              &out);
    if (harness < 0) return -1;
    std::string text;
    bool ended = false;
    while (!ended && text.find("\"progress\"") == std::string::npos)
        ReadSome(out, 30000, text, ended);
    while (!ended && ReadSome(out, 1000, text, ended)) {
    }
    const Clock::time_point sent = Clock::now();
    kill(harness, SIGINT);
    while (!ended)
        ReadSome(out, 30000, text, ended);
    int status = 0;
    waitpid(harness, &status, 0);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
    close(out);
    return WIFEXITED(status) && WEXITSTATUS(status) == 130 ? ms : -1;
}

double MedianExitMs(const std::string& image) {
    std::vector<double> runs;
    for (int run = 0; run < kRuns; ++run) {
        const double ms = ExitMsAfterSigint(image);
        if (ms < 0) return -1;
        runs.push_back(ms);
    }
    std::sort(runs.begin(), runs.end());
    return runs[runs.size() / 2];
}

// The harness runs this program as a wrapper around ktr-cli, so that the figure is
// ktr-cli's own peak and not the harness's: a read whose device claims 4 GiB of EEPROM.
double ReadPeakRssMb(const std::string& self, const std::string& folder) {
    const std::string rssFile = folder + "/rss.txt";
    const pid_t harness = Spawn({KTR_HARNESS, "--quiet", "--latency-us", "0", "--claim-eeprom-size",
                                 "4294967295", "--", self, kRssMode, rssFile, KTR_CLI, "read",
                                 "--eeprom", folder + "/huge.bin", "-q"},
                                nullptr);
    int status = 0;
    waitpid(harness, &status, 0);
    FILE* file = std::fopen(rssFile.c_str(), "r");
    long kb = -1;
    if (file) {
        if (std::fscanf(file, "%ld", &kb) != 1) kb = -1;
        std::fclose(file);
    }
    return kb < 0 ? -1 : double(kb) / 1024;
}

// The wrapper: runs argv, writes its ru_maxrss (kB) to rssFile, ends with its status.
int MeasurePeakRss(const char* rssFile, char** argv) {
    const pid_t pid = fork();
    if (pid == 0) {
        execv(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (FILE* file = std::fopen(rssFile, "w")) {
        std::fprintf(file, "%ld\n", usage.ru_maxrss);
        std::fclose(file);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 3 && std::strcmp(argv[1], kRssMode) == 0) return MeasurePeakRss(argv[2], argv + 3);

    char folder[] = "/tmp/bench_cli.XXXXXX";
    if (!mkdtemp(folder)) return 1;
    const std::string image = std::string(folder) + "/fw.bin";
    std::vector<char> bytes(0x10000);
    for (char& byte : bytes)
        byte = char(std::rand());
    if (FILE* file = std::fopen(image.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 1;

    PrintFigure("cli_exit_ms_after_sigint_hung_transfer", MedianExitMs(image), "ms");
    PrintFigure("cli_read_peak_rss_mb_claimed_4gib", ReadPeakRssMb(self, folder), "MB");

    std::remove(image.c_str());
    std::remove((std::string(folder) + "/rss.txt").c_str());
    rmdir(folder);
    return 0;
}
