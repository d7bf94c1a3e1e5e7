// ktr-cli: the service tool's commands for scripts and production lines. See CliHelp().
#include "CliGang.h"
#include "CliHangGuard.h"
#include "CliSession.h"

#include <QCoreApplication>
#include <QFile>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sys/socket.h>
#include <unistd.h>

#ifndef KTR_VERSION
#define KTR_VERSION "1.0.0"
#endif

namespace {

int signalPipe[2] = {-1, -1};

// A command cut short while its main thread hangs in a transfer ends this long after.
constexpr int kAbandonAfterMs = 800;

// Only a write is safe inside a signal handler; the guard's thread does the rest.
void OnSignal(int signal) {
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t written = write(signalPipe[0], &byte, 1);
}

} // namespace

int main(int argc, char** argv) {
    using namespace ktr::cli;
    QCoreApplication app(argc, argv);
    QFile out, err;
    // On the descriptors, not stdio: every line reaches a pipe as soon as it is written.
    out.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
    err.open(STDERR_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);

    CliOptions options;
    const QString problem = ParseCliOptions(app.arguments().mid(1), options);
    CliOutput output(out, err,
                     {options.Json, options.Quiet, isatty(STDOUT_FILENO) == 1, options.Verbose});
    if (!problem.isEmpty()) {
        const bool command = options.Cmd != Command::None && options.Cmd != Command::Help;
        output.Result(
            CommandName(options.Cmd), kExitUsage,
            QStringLiteral("%1 (справка: ktr-cli help%2)")
                .arg(problem, command ? QLatin1Char(' ') + CommandName(options.Cmd) : QString()));
        return kExitUsage;
    }
    if (options.Cmd == Command::Help) {
        out.write(CliHelp(options.HelpTopic).toUtf8());
        return kExitDone;
    }
    if (options.Cmd == Command::Version) {
        out.write("ktr-cli " KTR_VERSION "\n");
        return kExitDone;
    }

    if (socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) {
        std::perror("ktr-cli: socketpair");
        return kExitUsage;
    }
    std::function<void(int)> interrupt; // the run's, once it exists
    std::function<void()> timedOut;
    std::function<int(int)> abandon;
    HangGuard::Handlers handlers;
    handlers.Signal = [&](int signal) {
        // The first signal says how the command ends: SIGINT 130, SIGTERM 143.
        if (options.InterruptSignal == 0) options.InterruptSignal = signal;
        if (interrupt) interrupt(signal);
    };
    handlers.Deadline = [&] {
        if (timedOut) timedOut();
    };
    handlers.Abandon = [&](int signal) { return abandon ? abandon(signal) : -1; };
    const bool deadline =
        !options.SeveralDevices() && (options.Cmd != Command::Bridge || options.TimeoutSet);
    HangGuard guard(signalPipe[1], deadline ? options.TimeoutS : 0, kAbandonAfterMs,
                    std::move(handlers));
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);

    if (options.SeveralDevices()) {
        CliGang gang(QCoreApplication::applicationFilePath(), options, output);
        interrupt = [&](int signal) { gang.Interrupt(signal); };
        return gang.Run();
    }

    // KTR_USB_BACKEND (libusb1, libusb0) overrides the build's choice, for tests of both.
    const char* backendName = std::getenv("KTR_USB_BACKEND");
    const std::unique_ptr<ktr::UsbBackend> usb =
        ktr::NewSystemUsbBackend(backendName ? backendName : "");
    if (!usb) {
        std::fprintf(stderr, "ktr-cli: KTR_USB_BACKEND=%s is not built in\n", backendName);
        return kExitUsage;
    }
    CliSession session(*usb, options, output);

    interrupt = [&](int) { session.Interrupt(); };
    timedOut = [&] { session.TimedOut(); };
    // The main thread is stuck in a transfer: the result is printed from here and the
    // program ends; the system closes the device.
    abandon = [&](int signal) {
        int status = signal == 0 ? kExitLink : ExitStatusOfSignal(signal);
        QString message =
            signal == 0 ? QStringLiteral("истекло время ожидания (%1 с)").arg(options.TimeoutS)
                        : QStringLiteral("прервано");
        if (options.Cmd == Command::Bridge) status = kExitDone;
        message += QStringLiteral(" (передача устройству не завершилась)");
        output.Result(CommandName(options.Cmd), status, message);
        return status;
    };
    const int status = session.Run();
    guard.Done();
    return status;
}
