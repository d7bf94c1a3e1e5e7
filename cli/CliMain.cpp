// ktr-cli: the service tool's commands for scripts and production lines. See CliHelp().
#include "CliSession.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

// Only a write is safe inside a signal handler; the event loop does the rest.
void OnSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(signalPipe[0], &byte, 1);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QFile out, err;
    // On the descriptors, not stdio: every line reaches a pipe as soon as it is written.
    out.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
    err.open(STDERR_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);

    ktr::cli::CliOptions options;
    const QString problem = ktr::cli::ParseCliOptions(app.arguments().mid(1), options);
    if (!problem.isEmpty()) {
        err.write(QStringLiteral("ktr-cli: %1 (справка: ktr-cli --help)\n").arg(problem).toUtf8());
        return ktr::cli::kExitUsage;
    }
    if (options.Cmd == ktr::cli::Command::Help) {
        out.write(ktr::cli::CliHelp().toUtf8());
        return ktr::cli::kExitDone;
    }

    ktr::cli::CliOutput output(out, err, {options.Json, options.Quiet, isatty(STDOUT_FILENO) == 1});
    ktr::LibUsbBackend usb;
    ktr::cli::CliSession session(usb, options, output);

    if (socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) {
        std::perror("ktr-cli: socketpair");
        return ktr::cli::kExitUsage;
    }
    QSocketNotifier notifier(signalPipe[1], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &session, [&] {
        char byte;
        [[maybe_unused]] const ssize_t got = read(signalPipe[1], &byte, 1);
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
