// The Debian package that scripts/package made (its path in KTR_DEB; without it every case
// skips): every file at its place, and a manual page and a completion that name everything
// the packaged ktr-cli's --help names.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Result {
    int Status = -1;
    QByteArray Out;
};

Result Run(const QString& program, const QStringList& args, const QStringList& env = {}) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& pair : env)
        environment.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, args);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) return {};
    return {process.exitCode(), process.readAllStandardOutput()};
}

QByteArray Checked(const QString& program, const QStringList& args, const QStringList& env = {}) {
    const Result result = Run(program, args, env);
    if (result.Status != 0) qWarning("%s failed", qPrintable(program));
    return result.Status == 0 ? result.Out : QByteArray();
}

// A word that is not part of a longer name: "--eeprom" in "[--eeprom", not in "--eeprom-x".
bool NamesWord(const QString& text, const QString& word) {
    const QRegularExpression pattern(
        QStringLiteral("(?<![\\w-])%1(?![\\w-])").arg(QRegularExpression::escape(word)));
    return pattern.match(text).hasMatch();
}

// The text of one section of a rendered manual page: from its heading to the next one.
QString Section(const QString& page, const QString& heading) {
    const QStringList lines = page.split(QLatin1Char('\n'));
    QStringList body;
    bool inside = false;
    for (const QString& line : lines) {
        if (!line.isEmpty() && !line.front().isSpace())
            inside = line.trimmed() == heading;
        else if (inside)
            body << line;
    }
    return body.join(QLatin1Char('\n'));
}

} // namespace

class TstPackage : public QObject {
    Q_OBJECT

    QString deb_;
    QTemporaryDir root_; // the package unpacked
    QString multiarch_;

    QString Installed(const QString& path) const { return root_.filePath(path.mid(1)); }

    struct Names {
        QStringList Commands, Options, Statuses;
    };
    // What the packaged ktr-cli's help names: of all commands, or of one command.
    Names HelpNames(const QStringList& command) const {
        const QString help = QString::fromUtf8(Checked(
            Installed(QStringLiteral("/usr/bin/ktr-cli")), command + QStringList{"--help"}));
        Names names;
        static const QRegularExpression entry(QStringLiteral("^  ([a-z][a-z0-9-]*|\\d+)(\\s|$)"),
                                              QRegularExpression::MultilineOption);
        for (const auto& match : entry.globalMatch(help)) {
            const QString name = match.captured(1);
            (name.front().isDigit() ? names.Statuses : names.Commands) << name;
        }
        static const QRegularExpression option(QStringLiteral("(?<![\\w-])(--?[a-z][a-z0-9-]*)"));
        for (const auto& match : option.globalMatch(help))
            if (!names.Options.contains(match.captured(1))) names.Options << match.captured(1);
        return names;
    }

private slots:
    void initTestCase() {
        deb_ = qEnvironmentVariable("KTR_DEB");
        if (deb_.isEmpty()) QSKIP("KTR_DEB is not set: scripts/package runs this test");
        QVERIFY2(QFile::exists(deb_), qPrintable(deb_));
        QCOMPARE(Run(QStringLiteral("dpkg-deb"), {"-x", deb_, root_.path()}).Status, 0);
        multiarch_ = QString::fromLatin1(
            Checked(QStringLiteral("dpkg-architecture"), {"-qDEB_HOST_MULTIARCH"}).trimmed());
        QVERIFY(!multiarch_.isEmpty());
    }

    // The files the package exists for, where Debian and the programs expect them; the
    // configurators nowhere but in their private folder, /usr/bin holding the programs alone.
    void filesInPlace() {
        const QString configurators = QStringLiteral("/usr/lib/%1/ktr-service/").arg(multiarch_);
        QStringList expected = {
            "/usr/bin/ktr-cli",
            "/usr/bin/ktr-service",
            "/usr/include/ktrcfg.h",
            "/usr/lib/udev/rules.d/70-ktr-service.rules",
            "/usr/share/applications/ktr-service.desktop",
            "/usr/share/icons/hicolor/scalable/apps/ktr-service.svg",
            "/usr/share/metainfo/ktr-service.metainfo.xml",
            "/usr/share/man/man1/ktr-cli.1.gz",
            "/usr/share/man/man1/ktr-service.1.gz",
            "/usr/share/bash-completion/completions/ktr-cli",
            "/usr/share/doc/ktr-service/copyright",
            "/usr/share/doc/ktr-service/changelog.gz",
        };
        const QStringList libraries = {"libktr17cfg.so", "libpzk03cfg.so", "librdm05cfg.so"};
        for (const QString& library : libraries)
            expected << configurators + library;

        QStringList files;
        const QStringList contents =
            QString::fromUtf8(Checked(QStringLiteral("dpkg-deb"), {"--contents", deb_}))
                .split(QLatin1Char('\n'));
        for (const QString& line : contents) {
            const QString path =
                line.section(QLatin1Char(' '), -1).mid(1); // "./usr/..." -> "/usr/..."
            if (!line.startsWith(QLatin1Char('d')) && !path.isEmpty()) files << path;
        }
        for (const QString& path : expected)
            QVERIFY2(files.contains(path), qPrintable(path + " is missing"));
        for (const QString& path : files) {
            if (path.startsWith(QLatin1String("/usr/bin/")))
                QVERIFY2(path == expected[0] || path == expected[1], qPrintable(path));
            if (path.contains(QLatin1String("cfg.so")))
                QVERIFY2(path.startsWith(configurators), qPrintable(path));
        }

        // Both programs look for configurators where the package put them.
        for (const QString& program : {expected[0], expected[1]}) {
            QFile binary(Installed(program));
            QVERIFY(binary.open(QIODevice::ReadOnly));
            const QByteArray bytes = binary.readAll();
            const QString folder = configurators.chopped(1);
            const QByteArray utf16(reinterpret_cast<const char*>(folder.utf16()),
                                   folder.size() * 2);
            QVERIFY2(bytes.contains(folder.toUtf8()) || bytes.contains(utf16),
                     qPrintable(program + " does not search " + folder));
        }
    }

    // Every command, option and exit status of the packaged ktr-cli's --help is in its
    // manual page.
    void manualNamesTheHelp() {
        const Names help = HelpNames({});
        QVERIFY2(help.Commands.size() >= 7 && help.Options.size() >= 10 &&
                     help.Statuses.size() >= 5,
                 qPrintable(QStringLiteral("read %1 commands, %2 options, %3 statuses from --help")
                                .arg(help.Commands.size())
                                .arg(help.Options.size())
                                .arg(help.Statuses.size())));

        // As a reader sees it: escapes resolved, one line per paragraph.
        const QString page = QString::fromUtf8(
            Checked(QStringLiteral("man"),
                    {"--no-hyphenation", "--no-justification", "-l",
                     Installed(QStringLiteral("/usr/share/man/man1/ktr-cli.1.gz"))},
                    {"MANWIDTH=1000", "LC_ALL=C.UTF-8"}));
        for (const QString& name : help.Commands + help.Options)
            QVERIFY2(NamesWord(page, name), qPrintable(name + " is not in the manual page"));
        const QString exitStatus = Section(page, QStringLiteral("EXIT STATUS"));
        for (const QString& status : help.Statuses)
            QVERIFY2(
                exitStatus.contains(QRegularExpression(QStringLiteral("^\\s+%1\\s").arg(status),
                                                       QRegularExpression::MultilineOption)),
                qPrintable("exit status " + status + " is not in EXIT STATUS"));
    }

    // The packaged completion, run by bash as on a user's Tab: it offers every command of the
    // help, and after each command every long option that command's help names.
    void completionOffersTheHelpsNames() {
        const QString library = QStringLiteral("/usr/share/bash-completion/bash_completion");
        QVERIFY2(QFile::exists(library), "bash-completion is not installed (scripts/deps)");
        const Names help = HelpNames({});
        QStringList lines = {QStringLiteral("ktr-cli "), QStringLiteral("ktr-cli --")};
        for (const QString& command : help.Commands)
            lines << "ktr-cli " + command + " --";

        // Each line as the completion sees it; prints the line, a tab and the offers.
        QString script =
            QStringLiteral(
                "source %1; source %2; offers() {"
                " COMP_LINE=$1; COMP_POINT=${#1}; read -ra COMP_WORDS <<<\"$1\";"
                " [[ $1 == *' ' ]] && COMP_WORDS+=('');"
                " COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMPREPLY=();"
                " _ktr_cli ktr-cli \"${COMP_WORDS[COMP_CWORD]}\" \"${COMP_WORDS[COMP_CWORD-1]}\";"
                " printf '%s\\t%s\\n' \"$1\" \"${COMPREPLY[*]}\"; }")
                .arg(library,
                     Installed(QStringLiteral("/usr/share/bash-completion/completions/ktr-cli")));
        for (const QString& line : lines)
            script += QStringLiteral("; offers '%1'").arg(line);
        const QString path =
            Installed(QStringLiteral("/usr/bin")) + ':' + qEnvironmentVariable("PATH");
        QMap<QString, QStringList> offers;
        for (const QString& line :
             QString::fromUtf8(Checked(QStringLiteral("bash"), {"-c", script}, {"PATH=" + path}))
                 .split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            offers[line.section(QLatin1Char('\t'), 0, 0)] =
                line.section(QLatin1Char('\t'), 1).split(QLatin1Char(' '), Qt::SkipEmptyParts);

        QCOMPARE(offers.value(lines[0]), help.Commands);
        const auto longOnes = [](const QStringList& options) {
            return options.filter(QRegularExpression(QStringLiteral("^--")));
        };
        for (const QString& option : longOnes(help.Options))
            QVERIFY2(offers.value(lines[1]).contains(option), qPrintable(option + " not offered"));
        for (const QString& command : help.Commands) {
            const QString line = "ktr-cli " + command + " --";
            for (const QString& option : longOnes(HelpNames({command}).Options))
                QVERIFY2(offers.value(line).contains(option),
                         qPrintable(option + " not offered after " + command));
        }
    }

    // The version a user reads is the package's, and the changelog and copyright name its
    // maintainer (a tree configured once wrote them empty).
    void versionAndMaintainerAreThePackages() {
        const QByteArray maintainer =
            Checked(QStringLiteral("dpkg-deb"), {"-f", deb_, "Maintainer"}).trimmed();
        QVERIFY(maintainer.contains('@'));
        const QByteArray changelog =
            Checked(QStringLiteral("gzip"),
                    {"-dc", Installed(QStringLiteral("/usr/share/doc/ktr-service/changelog.gz"))});
        QVERIFY2(changelog.contains("\n -- " + maintainer + "  "), changelog);
        QFile copyright(Installed(QStringLiteral("/usr/share/doc/ktr-service/copyright")));
        QVERIFY(copyright.open(QIODevice::ReadOnly));
        QVERIFY(copyright.readAll().contains("Upstream-Contact: " + maintainer + '\n'));
        const QByteArray version =
            Checked(QStringLiteral("dpkg-deb"), {"-f", deb_, "Version"}).trimmed();
        QVERIFY(!version.isEmpty());
        for (const char* page :
             {"/usr/share/man/man1/ktr-cli.1.gz", "/usr/share/man/man1/ktr-service.1.gz"}) {
            const QByteArray text =
                Checked(QStringLiteral("gzip"), {"-dc", Installed(QLatin1String(page))});
            QVERIFY2(text.contains("\"ktr-service " + version + '"'), page);
        }
        const Result cli = Run(Installed(QStringLiteral("/usr/bin/ktr-cli")), {"--version"});
        QCOMPARE(cli.Status, 0);
        QVERIFY2(NamesWord(QString::fromUtf8(cli.Out), QString::fromLatin1(version)), cli.Out);
    }
};

QTEST_GUILESS_MAIN(TstPackage)
#include "tst_package.moc"
