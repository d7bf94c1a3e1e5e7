#include "CliOptions.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <bit>
#include <climits>
#include <csignal>

namespace ktr::cli {

namespace {

using CommandSet = uint32_t;
constexpr CommandSet Bit(Command command) {
    return CommandSet(1) << int(command);
}
constexpr CommandSet kSeveralDeviceCommands =
    Bit(Command::Info) | Bit(Command::Write) | Bit(Command::Verify) | Bit(Command::Read);
constexpr CommandSet kLinkedCommands =
    kSeveralDeviceCommands | Bit(Command::Bridge) | Bit(Command::Configure);
constexpr CommandSet kEveryCommand = kLinkedCommands | Bit(Command::List);

struct CommandInfo {
    Command Cmd;
    const char* Name;
    const char* Help;
};
const CommandInfo kCommands[] = {
    {Command::List, "list", "подключённые устройства 1000:6666, по одному в строке (ШИНА:НОМЕР)"},
    {Command::Info, "info", "имя и тип устройства, размеры FLASH, EEPROM и AUX"},
    {Command::Write, "write",
     "запись с проверкой: FLASH, EEPROM или обе области (нужен хотя бы один "
     "файл); промежутки между записями файла HEX заполняются псевдослучайными байтами, "
     "как в окне программы"},
    {Command::Verify, "verify",
     "только проверка: устройство сравнивается с файлом, ничего не записывается; "
     "сравниваются только байты, заданные файлом"},
    {Command::Read, "read",
     "вся область целиком в двоичный файл: EEPROM, AUX или обе (FLASH не "
     "читается); для нескольких устройств путь — шаблон с {bus} и {dev} или {name}, "
     "разный для каждого устройства"},
    {Command::Bridge, "bridge",
     "мост TCP на 127.0.0.1 до Ctrl-C или SIGTERM (тогда код 0); как и окно, мост "
     "работает и при потерянной связи"},
    {Command::Configure, "configure", "конфигуратор типа подключённого устройства"},
    {Command::Help, "help", "справка по всем командам или по одной"},
};

struct OptionInfo {
    const char* Name;
    const char* Short; // nullptr: none
    const char* Value; // the value's placeholder; nullptr: a switch
    CommandSet Commands;
    bool Developer; // listed apart, for development and tests
    const char* Help;
};
const OptionInfo kOptions[] = {
    {"--device", nullptr, "ШИНА:НОМЕР", kLinkedCommands, false,
     "устройство из списка list (по умолчанию первое найденное); у всех команд, "
     "кроме list; write, verify, read и info принимают несколько"},
    {"--all", nullptr, nullptr, kSeveralDeviceCommands, false,
     "все подключённые устройства, каждое по своей связи (write, verify, read, "
     "info)"},
    {"--flash", nullptr, "ФАЙЛ", Bit(Command::Write) | Bit(Command::Verify), false, "образ FLASH"},
    {"--eeprom", nullptr, "ФАЙЛ", Bit(Command::Write) | Bit(Command::Verify) | Bit(Command::Read),
     false, "образ EEPROM (для read — файл, куда читается EEPROM)"},
    {"--aux", nullptr, "ФАЙЛ", Bit(Command::Read), false, "файл, куда читается AUX"},
    {"--format", nullptr, "ФОРМАТ", Bit(Command::Write) | Bit(Command::Verify), false,
     "как читать образы: auto (по умолчанию; .hex для FLASH и .eep для EEPROM — "
     "Intel HEX, остальные — двоичные), hex или raw"},
    {"--port", nullptr, "N", Bit(Command::Bridge), false,
     "порт TCP (по умолчанию 10005; 0 — любой свободный)"},
    {"--json", nullptr, nullptr, kEveryCommand, false,
     "по одному объекту JSON в строке на событие (log, step, note, progress, "
     "info, device, listening, device_result, result)"},
    {"--quiet", "-q", nullptr, kEveryCommand, false, "только результат и ошибки"},
    {"--verbose", nullptr, nullptr, kEveryCommand, false,
     "ещё и строки журнала, как в окне программы"},
    {"--timeout", nullptr, "С", kEveryCommand, false,
     "предел времени всей команды, 1–604800 с (по умолчанию 3600; для bridge — "
     "без предела, по истечении мост закрывается с кодом 0)"},
    {"--link-timeout", nullptr, "С", kLinkedCommands & ~Bit(Command::Bridge), false,
     "сколько ждать возвращения потерянной связи, 1–604800 с (по умолчанию 30), "
     "затем код 3; у всех команд, кроме list и bridge"},
    {"--watchdog-ms", nullptr, "МС", kEveryCommand, true,
     "сторожевой интервал связи (по умолчанию 10000)"},
    {"--fault-pause-ms", nullptr, "МС", kEveryCommand, true,
     "пауза перед повторным открытием после сбоя (1000)"},
    {"--poll-ms", nullptr, "МС", kEveryCommand, true, "интервал опроса (50)"},
};

const char kExitHelp[] =
    R"(Коды завершения:
  0    выполнено
  2    неверный вызов (или порт TCP не открывается)
  3    нет устройства или нет прав на него, связь потеряна и не вернулась
       (кроме bridge), устройство не отвечает или его тип не обслуживается,
       истекло время
  4    файл не принят: не открывается, ошибка формата (с номером строки),
       слишком большой, пустой, не того формата
  5    ошибка верификации (с адресом)
  129  прервано сигналом SIGHUP (кроме bridge: он по сигналу завершается
       с кодом 0)
  130  прервано: Ctrl-C, сигнал SIGINT (кроме bridge)
  143  прервано сигналом SIGTERM (кроме bridge)
При нескольких устройствах код — наибольший из их кодов. При любой ошибке
в stderr выводится одна строка с её описанием.
)";

constexpr int kHelpColumn = 24;
constexpr int kHelpWidth = 80;

// "  TERM    description" with the description wrapped under itself; a long term gets a line
// of its own.
QString HelpEntry(const QString& term, const char* help) {
    const QString indent(kHelpColumn, QLatin1Char(' '));
    QString entry;
    QString line = QStringLiteral("  ") + term;
    if (line.size() < kHelpColumn - 1) {
        line = line.leftJustified(kHelpColumn);
    } else {
        entry = line + QLatin1Char('\n');
        line = indent;
    }
    bool lineEmpty = true; // no word of the description on it yet
    for (const QString& word : QString::fromUtf8(help).split(QLatin1Char(' '))) {
        if (!lineEmpty && line.size() + 1 + word.size() >= kHelpWidth) {
            entry += line + QLatin1Char('\n');
            line = indent;
            lineEmpty = true;
        }
        if (!lineEmpty) line += QLatin1Char(' ');
        line += word;
        lineEmpty = false;
    }
    return entry + line + QLatin1Char('\n');
}

QString OptionHead(const OptionInfo& option) {
    QString head = option.Short ? QStringLiteral("%1, ").arg(QLatin1String(option.Short)) : "";
    head += QLatin1String(option.Name);
    if (option.Value) head += QLatin1Char(' ') + QString::fromUtf8(option.Value);
    return head;
}

// "write [--flash ФАЙЛ] ..." with the options this command alone takes.
QString Synopsis(const CommandInfo& command) {
    QString line = QLatin1String(command.Name);
    if (command.Cmd == Command::Help) return line + QStringLiteral(" [КОМАНДА]");
    for (const OptionInfo& option : kOptions) {
        // Options of most commands are told in their own entries.
        if (!(option.Commands & Bit(command.Cmd)) || std::popcount(option.Commands) > 3) continue;
        line += QStringLiteral(" [%1%2]").arg(
            QLatin1String(option.Name),
            option.Value ? QLatin1Char(' ') + QString::fromUtf8(option.Value) : QString());
    }
    return line;
}

QString OptionsHelp(CommandSet commands) {
    QString text = QStringLiteral("Ключи:\n");
    QString developer;
    for (const OptionInfo& option : kOptions)
        if (option.Commands & commands)
            (option.Developer ? developer : text) += HelpEntry(OptionHead(option), option.Help);
    text += HelpEntry(QStringLiteral("-h, --help"), "эта справка");
    text += HelpEntry(QStringLiteral("--version"), "версия программы");
    if (!developer.isEmpty()) text += QStringLiteral("\nДля разработки и тестов:\n") + developer;
    return text;
}

const CommandInfo* FindCommand(const QString& name) {
    for (const CommandInfo& info : kCommands)
        if (name == QLatin1String(info.Name)) return &info;
    return nullptr;
}

const OptionInfo* FindOption(const QString& name) {
    for (const OptionInfo& option : kOptions)
        if (name == QLatin1String(option.Name) ||
            (option.Short && name == QLatin1String(option.Short)))
            return &option;
    return nullptr;
}

QString Range(int min, int max) {
    return QStringLiteral(": нужно целое число от %1 до %2").arg(min).arg(max);
}

bool ParseNumber(const QString& text, int min, int max, int& value) {
    bool ok = false;
    const qlonglong number = text.toLongLong(&ok, 10);
    if (!ok || number < min || number > max || text.startsWith(QLatin1Char('+'))) return false;
    value = int(number);
    return true;
}

bool ParseDevice(const QString& text, DeviceAddress& address) {
    static const QRegularExpression pattern(QStringLiteral("^(\\d{1,3}):(\\d{1,3})$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch()) return false;
    address = {match.captured(1).toInt(), match.captured(2).toInt()};
    return address.Bus > 0 && address.Device > 0;
}

QString SetValue(const QString& name, const QString& value, CliOptions& options) {
    const QString bad = QStringLiteral("неверное значение «%1» ключа %2").arg(value, name);
    const auto number = [&](int min, int max, int& target) {
        return ParseNumber(value, min, max, target) ? QString() : bad + Range(min, max);
    };
    if (name == QLatin1String("--device")) {
        DeviceAddress address;
        if (!ParseDevice(value, address))
            return bad + QStringLiteral(" (нужно ШИНА:НОМЕР, например 1:2)");
        if (options.Devices.contains(address))
            return QStringLiteral("устройство %1 указано дважды").arg(address.Text());
        options.Devices.append(address);
    } else if (name == QLatin1String("--all")) {
        options.AllDevices = true;
    } else if (name == QLatin1String("--flash")) {
        options.FlashFile = value;
    } else if (name == QLatin1String("--eeprom")) {
        options.EepromFile = value;
    } else if (name == QLatin1String("--aux")) {
        options.AuxFile = value;
    } else if (name == QLatin1String("--format")) {
        if (value == QLatin1String("auto"))
            options.Format = ImageFormat::Auto;
        else if (value == QLatin1String("hex"))
            options.Format = ImageFormat::Hex;
        else if (value == QLatin1String("raw"))
            options.Format = ImageFormat::Raw;
        else
            return bad + QStringLiteral(" (нужно auto, hex или raw)");
    } else if (name == QLatin1String("--port")) {
        return number(0, 65535, options.TcpPort);
    } else if (name == QLatin1String("--json")) {
        options.Json = true;
    } else if (name == QLatin1String("--quiet")) {
        options.Quiet = true;
    } else if (name == QLatin1String("--verbose")) {
        options.Verbose = true;
    } else if (name == QLatin1String("--timeout")) {
        options.TimeoutSet = true;
        return number(1, kMaxTimeoutS, options.TimeoutS);
    } else if (name == QLatin1String("--link-timeout")) {
        return number(1, kMaxTimeoutS, options.LinkTimeoutS);
    } else if (name == QLatin1String("--watchdog-ms")) {
        return number(1, INT_MAX / 1000, options.Timings.WatchdogMs);
    } else if (name == QLatin1String("--poll-ms")) {
        return number(1, INT_MAX / 1000, options.Timings.PollTickMs);
    } else {
        return number(0, INT_MAX / 1000, options.Timings.FaultPauseMs);
    }
    return {};
}

// What only the whole command line tells: options that exclude each other, missing files.
QString CheckTogether(const CliOptions& options) {
    const QString command = CommandName(options.Cmd);
    if (options.Quiet && options.Verbose)
        return QStringLiteral("ключи --quiet и --verbose исключают друг друга");
    if (options.AllDevices && !options.Devices.isEmpty())
        return QStringLiteral("ключи --all и --device исключают друг друга");
    if (options.Devices.size() > 1 && !(Bit(options.Cmd) & kSeveralDeviceCommands))
        return QStringLiteral("команда %1 работает с одним устройством").arg(command);
    switch (options.Cmd) {
    case Command::Write:
    case Command::Verify:
        if (options.FlashFile.isEmpty() && options.EepromFile.isEmpty())
            return QStringLiteral("команде %1 нужен файл: --flash ФАЙЛ и/или --eeprom ФАЙЛ")
                .arg(command);
        break;
    case Command::Read: {
        if (options.EepromFile.isEmpty() && options.AuxFile.isEmpty())
            return QStringLiteral("команде read нужен файл: --eeprom ФАЙЛ и/или --aux ФАЙЛ");
        // The second area would overwrite the first one's backup.
        if (!options.EepromFile.isEmpty() && !options.AuxFile.isEmpty() &&
            QDir::cleanPath(QFileInfo(options.EepromFile).absoluteFilePath()) ==
                QDir::cleanPath(QFileInfo(options.AuxFile).absoluteFilePath()))
            return QStringLiteral("EEPROM и AUX нельзя прочитать в один файл «%1»")
                .arg(options.EepromFile);
        const auto distinct = [](const QString& path) {
            return path.contains(QLatin1String("{name}")) ||
                   (path.contains(QLatin1String("{bus}")) && path.contains(QLatin1String("{dev}")));
        };
        if (options.SeveralDevices())
            for (const QString& path : {options.EepromFile, options.AuxFile})
                if (!path.isEmpty() && !distinct(path))
                    return QStringLiteral("для нескольких устройств путь «%1» должен содержать "
                                          "{bus} и {dev} или {name}")
                        .arg(path);
        break;
    }
    default:
        break;
    }
    return {};
}

} // namespace

int ExitStatusOfSignal(int signal) {
    return 128 + signal;
}
static_assert(SIGINT + 128 == kExitInterrupted && SIGTERM + 128 == kExitTerminated);

QString CommandName(Command command) {
    for (const CommandInfo& info : kCommands)
        if (info.Cmd == command) return QLatin1String(info.Name);
    return command == Command::Version ? QStringLiteral("--version") : QString();
}

QString ParseCliOptions(const QStringList& arguments, CliOptions& options) {
    options = CliOptions{};
    // Values never start with '-', so these are never some option's value.
    options.Json = arguments.contains(QLatin1String("--json"));
    if (arguments.contains(QLatin1String("-h")) || arguments.contains(QLatin1String("--help"))) {
        options.Cmd = Command::Help;
        for (const QString& argument : arguments)
            if (const CommandInfo* info = FindCommand(argument);
                info && options.HelpTopic == Command::None && info->Cmd != Command::Help)
                options.HelpTopic = info->Cmd;
        return {};
    }
    if (arguments.contains(QLatin1String("--version"))) {
        options.Cmd = Command::Version;
        return {};
    }
    bool haveTopic = false;
    // Values are checked against the command once it is known, wherever it stands.
    QList<std::pair<const OptionInfo*, QString>> values;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString argument = arguments[i];
        if (!argument.startsWith(QLatin1Char('-'))) {
            if (options.Cmd == Command::None) {
                const CommandInfo* info = FindCommand(argument);
                if (!info) return QStringLiteral("неизвестная команда «%1»").arg(argument);
                options.Cmd = info->Cmd;
            } else if (options.Cmd == Command::Help && !haveTopic) {
                const CommandInfo* info = FindCommand(argument);
                if (!info) return QStringLiteral("неизвестная команда «%1»").arg(argument);
                options.HelpTopic = info->Cmd == Command::Help ? Command::None : info->Cmd;
                haveTopic = true;
            } else {
                return QStringLiteral("лишний аргумент «%1»").arg(argument);
            }
            continue;
        }
        QString value;
        bool inlineValue = false;
        if (const qsizetype eq = argument.indexOf(QLatin1Char('='));
            eq > 0 && argument.startsWith(QLatin1String("--"))) {
            value = argument.mid(eq + 1);
            argument.truncate(eq);
            inlineValue = true;
        }
        const OptionInfo* option = FindOption(argument);
        if (!option) return QStringLiteral("неизвестный ключ %1").arg(argument);
        if (!option->Value && inlineValue)
            return QStringLiteral("ключ %1 не принимает значения").arg(argument);
        if (option->Value && !inlineValue) {
            // A value never takes the next option: "read --eeprom --quiet" names no file.
            if (i + 1 >= arguments.size())
                return QStringLiteral("ключу %1 нужно значение").arg(argument);
            if (arguments[i + 1].startsWith(QLatin1Char('-')))
                return QStringLiteral("ключу %1 нужно значение, а не «%2»")
                    .arg(argument, arguments[i + 1]);
            value = arguments[++i];
        }
        if (option->Value && value.isEmpty())
            return QStringLiteral("ключу %1 нужно значение").arg(argument);
        const bool repeatable = option == FindOption(QStringLiteral("--device"));
        if (!repeatable && std::any_of(values.begin(), values.end(),
                                       [&](const auto& given) { return given.first == option; }))
            return QStringLiteral("ключ %1 указан дважды").arg(QLatin1String(option->Name));
        values.append({option, value});
    }
    if (options.Cmd == Command::None) return QStringLiteral("не указана команда");
    if (options.Cmd == Command::Help) return {};
    for (const auto& [option, value] : values) {
        if (!(option->Commands & Bit(options.Cmd)))
            return QStringLiteral("ключ %1 не относится к команде %2")
                .arg(QLatin1String(option->Name), CommandName(options.Cmd));
        if (QString problem = SetValue(QLatin1String(option->Name), value, options);
            !problem.isEmpty())
            return problem;
    }
    return CheckTogether(options);
}

QString CliHelp(Command topic) {
    if (topic != Command::None) {
        const CommandInfo* info = FindCommand(CommandName(topic));
        if (!info) return CliHelp();
        return QStringLiteral("Использование: ktr-cli %1 [КЛЮЧИ]\n\n").arg(Synopsis(*info)) +
               HelpEntry(QLatin1String(info->Name), info->Help) + QLatin1Char('\n') +
               OptionsHelp(Bit(topic)) + QLatin1Char('\n') + QString::fromUtf8(kExitHelp);
    }
    QString commands;
    for (const CommandInfo& info : kCommands)
        commands += HelpEntry(Synopsis(info), info.Help);
    return QStringLiteral(
               "Использование: ktr-cli КОМАНДА [КЛЮЧИ]\n"
               "               ktr-cli help [КОМАНДА] | КОМАНДА --help | --version\n\n"
               "Работа с устройством 1000:6666 из командной строки: запись и проверка\n"
               "памяти, чтение данных, мост TCP; одно устройство или несколько сразу.\n"
               "Значение ключа, начинающееся с «-», пишется через «=»: --flash=-a.hex\n\n"
               "Команды:\n") +
           commands + QLatin1Char('\n') + OptionsHelp(kEveryCommand) + QLatin1Char('\n') +
           QString::fromUtf8(kExitHelp);
}

} // namespace ktr::cli
