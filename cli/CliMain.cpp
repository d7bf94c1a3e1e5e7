// ktr-cli: the service tool's commands for scripts and production lines. See CliHelp().
#include "CliSession.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

#ifndef KTR_VERSION
#define KTR_VERSION "1.0.0"
#endif

namespace {

int signalPipe[2] = {-1, -1};

// Only a write is safe inside a signal handler; the event loop does the rest.
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

    ktr::LibUsbBackend usb;
    CliSession session(usb, options, output);

    if (socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) {
        std::perror("ktr-cli: socketpair");
        return kExitUsage;
    }
    QSocketNotifier notifier(signalPipe[1], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &session, [&] {
        char signal = 0;
        // The first signal says how the command ends: SIGINT 130, SIGTERM 143.
        if (read(signalPipe[1], &signal, 1) == 1 && options.InterruptSignal == 0)
            options.InterruptSignal = signal;
        session.Interrupt();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);

    return session.Run();
}
