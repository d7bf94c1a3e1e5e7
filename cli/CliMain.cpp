// ktr-cli: the service tool's commands for scripts and production lines. See CliHelp().
#include "CliCommands.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

// A configurator's CfgExec runs on the main thread, and one that never returns holds the
// event loop: neither a signal nor the deadline would be answered. For configure alone a
// timer then ends the program from a signal handler, with a result made beforehand.
constexpr int kAbandonAfterMs = 800;
struct Ending {
    QByteArray Out, Err;
    int Status = 0;
};
std::array<Ending, SIGTERM + 1> endings; // by the first signal; 0: the deadline
volatile sig_atomic_t firstSignal = -1;  // -1: none yet
bool abandoning = false;
timer_t abandonTimer;

void ArmAbandon(int ms) {
    itimerspec when{};
    when.it_value = {ms / 1000, long(ms % 1000) * 1000000};
    timer_settime(abandonTimer, 0, &when, nullptr);
}

void Abandon(int) {
    const Ending& ending = endings[firstSignal < 0 ? 0 : firstSignal];
    [[maybe_unused]] ssize_t written =
        write(STDOUT_FILENO, ending.Out.constData(), ending.Out.size());
    written = write(STDERR_FILENO, ending.Err.constData(), ending.Err.size());
    _exit(ending.Status);
}

// What the output would print for a command abandoned by signal (0: the deadline).
Ending AbandonedEnding(const ktr::cli::CliOptions& options, ktr::cli::CliOutput::Style style,
                       int signal) {
    using namespace ktr;
    using namespace ktr::cli;
    const Verdict ended =
        signal == 0 ? TimedOut(options.TimeoutS) : Interrupted(ExitStatusOfSignal(signal));
    Ending ending;
    ending.Status = ended.Status;
    QBuffer out(&ending.Out), err(&ending.Err);
    out.open(QIODevice::WriteOnly);
    err.open(QIODevice::WriteOnly);
    CliOutput(out, err, style)
        .Result(CommandName(options.Cmd),
                {ended.Status,
                 ended.Message + QStringLiteral(" (конфигуратор не вернул управление)"),
                 {}});
    return ending;
}

// Only a write and a timer's setting are safe inside a signal handler; the event loop reads
// the pipe.
void OnSignal(int signal) {
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t written = write(signalPipe[1], &byte, 1);
    if (firstSignal >= 0) return;
    firstSignal = signal;
    if (abandoning) ArmAbandon(kAbandonAfterMs);
}

} // namespace

int main(int argc, char** argv) {
    using namespace ktr;
    using namespace ktr::cli;
    QCoreApplication app(argc, argv);
    QFile out, err;
    // On the descriptors, not stdio: every line reaches a pipe as soon as it is written.
    out.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
    err.open(STDERR_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);

    CliOptions options;
    const QString problem = ParseCliOptions(app.arguments().mid(1), options);
    const CliOutput::Style style{options.Json, options.Quiet, isatty(STDOUT_FILENO) == 1,
                                 options.Verbose};
    CliOutput output(out, err, style);
    if (!problem.isEmpty()) {
        const bool command = options.Cmd != Command::None && options.Cmd != Command::Help;
        const QString topic = command ? QLatin1Char(' ') + CommandName(options.Cmd) : QString();
        return output.Result(
            CommandName(options.Cmd),
            {kExitUsage, problem + QStringLiteral(" (справка: ktr-cli help%1)").arg(topic), {}});
    }
    if (options.Cmd == Command::Help) {
        out.write(CliHelp(options.HelpTopic).toUtf8());
        return kExitDone;
    }
    if (options.Cmd == Command::Version) {
        out.write("ktr-cli " KTR_VERSION "\n");
        return kExitDone;
    }

    // Close-on-exec: a configurator's child processes must not write into it.
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("ktr-cli: pipe");
        return kExitUsage;
    }
    std::function<void(int)> interrupt; // the run's, once it exists
    int first = 0; // the signal that says how the command ends: SIGINT 130, SIGTERM 143, SIGHUP 129
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&] {
        char signal = 0;
        while (read(signalPipe[0], &signal, 1) == 1) {
            if (first == 0) first = signal;
            if (interrupt) interrupt(first);
        }
    });
    if (options.Cmd == Command::Configure) {
        for (int signal : {0, SIGHUP, SIGINT, SIGTERM})
            endings[signal] = AbandonedEnding(options, style, signal);
        sigevent event{};
        event.sigev_notify = SIGEV_SIGNAL;
        event.sigev_signo = SIGALRM;
        std::signal(SIGALRM, Abandon);
        abandoning = timer_create(CLOCK_MONOTONIC, &event, &abandonTimer) == 0;
        if (abandoning) ArmAbandon(options.TimeoutS * 1000 + kAbandonAfterMs);
    }
    // A journal at a file size limit must fail its write, not end the program.
    std::signal(SIGXFSZ, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);

    const std::unique_ptr<UsbBackend> usb = NewSystemUsbBackend();
    if (!usb) {
        std::fprintf(stderr, "ktr-cli: KTR_USB_BACKEND=%s is not built in\n",
                     std::getenv("KTR_USB_BACKEND"));
        return kExitUsage;
    }
    if (options.Cmd == Command::Journal) return RunJournal(options, output);
    if (options.Cmd == Command::Station) return RunStation(*usb, options, output, interrupt);
    return RunCommand(*usb, options, output, interrupt);
}
