#include "CliOptions.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include <algorithm>
#include <bit>
#include <climits>

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
constexpr CommandSet kImageCommands =
    Bit(Command::Write) | Bit(Command::Verify) | Bit(Command::Station);
constexpr CommandSet kEveryCommand =
    kLinkedCommands | Bit(Command::List) | Bit(Command::Station) | Bit(Command::Journal);

struct CommandInfo {
    Command Cmd;
    const char* Name;
    const char* Help;
    DeviceTask Task = DeviceTask::Info; // of a command run on devices
};
const CommandInfo kCommands[] = {
    {Command::List, "list", "подключённые устройства 1000:6666, по одному в строке (ШИНА:НОМЕР)"},
    {Command::Info, "info", "имя и тип устройства, размеры FLASH, EEPROM и AUX"},
    {Command::Write, "write",
     "запись с проверкой: FLASH, EEPROM или обе области (нужен хотя бы один "
     "файл); промежутки между записями файла HEX заполняются псевдослучайными байтами, "
     "как в окне программы",
     DeviceTask::Write},
    {Command::Verify, "verify",
     "только проверка: устройство сравнивается с файлом, ничего не записывается; "
     "сравниваются только байты, заданные файлом",
     DeviceTask::Verify},
    {Command::Read, "read",
     "вся область целиком в двоичный файл: EEPROM, AUX или обе (FLASH не "
     "читается); для нескольких устройств путь — шаблон с {bus} и {dev} или {name}, "
     "разный для каждого устройства",
     DeviceTask::Read},
    {Command::Bridge, "bridge",
     "мост TCP на 127.0.0.1 до Ctrl-C или SIGTERM (тогда код 0); как и окно, мост "
     "работает и при потерянной связи",
     DeviceTask::Bridge},
    {Command::Configure, "configure", "конфигуратор типа подключённого устройства",
     DeviceTask::Configure},
    {Command::Station, "station",
     "станция производства: каждое подключаемое устройство записывается и проверяется один "
     "раз, по своей связи, до Ctrl-C, SIGTERM или --count устройств; гнездо — порт USB, "
     "следующее устройство в нём обслуживается после того, как прежнее вынуто"},
    {Command::Journal, "journal",
     "сводка журнала производства ФАЙЛ: устройства, годные, отказы по кодам и этапам, выход "
     "годных, время, по каждому образу"},
    {Command::Help, "help", "справка по всем командам или по одной"},
};

bool ParseNumber(const QString& text, int min, int max, int& value) {
    bool ok = false;
    const qlonglong number = text.toLongLong(&ok, 10);
    if (!ok || number < min || number > max || text.startsWith(QLatin1Char('+'))) return false;
    value = int(number);
    return true;
}

QString SetDevice(const QString& value, CliOptions& options, const QString& bad) {
    static const QRegularExpression pattern(QStringLiteral("^(\\d{1,3}):(\\d{1,3})$"));
    const QRegularExpressionMatch match = pattern.match(value);
    const DeviceAddress address{match.captured(1).toInt(), match.captured(2).toInt()};
    if (!match.hasMatch() || address.Bus <= 0 || address.Device <= 0)
        return bad + QStringLiteral(" (нужно ШИНА:НОМЕР, например 1:2)");
    if (options.Devices.contains(address))
        return QStringLiteral("устройство %1 указано дважды").arg(address.Text());
    options.Devices.append(address);
    return {};
}

QString SetPorts(const QString& value, CliOptions& options, const QString& bad) {
    static const QRegularExpression pattern(QStringLiteral("^\\d+-\\d+(\\.\\d+)*$"));
    for (const QString& port : value.split(QLatin1Char(','))) {
        if (!pattern.match(port).hasMatch())
            return bad + QStringLiteral(" (нужны пути портов через запятую, например 1-1.2,1-1.3)");
        options.Ports << port;
    }
    return {};
}

QString SetSerialAddress(const QString& value, CliOptions& options, const QString& bad) {
    bool ok = false;
    const qlonglong address = value.toLongLong(&ok, 0); // 0x10 or 16
    if (!ok || address < 0 || address > INT_MAX - 4)
        return bad + QStringLiteral(" (нужен адрес в EEPROM, например 0x10)");
    options.SerialAddress = int(address);
    return {};
}

QString SetFormat(const QString& value, CliOptions& options, const QString& bad) {
    for (const auto& [name, format] :
         {std::pair{"auto", JobRules::Format::ByExtension}, std::pair{"hex", JobRules::Format::Hex},
          std::pair{"raw", JobRules::Format::Raw}})
        if (value == QLatin1String(name)) {
            options.Format = format;
            return {};
        }
    return bad + QStringLiteral(" (нужно auto, hex или raw)");
}

// One option: its names, which commands take it, what it sets, and its help, in which %1 is
// the default, %2 and %3 the range of a number, %4 the status of a link given up on and %5
// that of a journal not written.
struct Option {
    const char* Name; // the long name, without "--"
    const char* Short = nullptr;
    const char* Value = nullptr; // the value's placeholder; nullptr: a switch
    CommandSet Commands = kEveryCommand;
    bool Developer = false; // listed apart, for development and tests
    const char* Help = "";
    // What it sets: a switch, a file, a number in its Range, or by a function of its own.
    // None: --help and --version, which end the parse before any of these.
    bool CliOptions::*Switch = nullptr;
    QString CliOptions::*File = nullptr;
    int& (*Number)(CliOptions&) = nullptr;
    std::pair<int, int> Range = {}; // of a number, both included
    QString (*Set)(const QString& value, CliOptions&, const QString& bad) = nullptr;
};

constexpr Option SwitchOption(const char* name, CommandSet commands, bool CliOptions::*field,
                              const char* help) {
    return {.Name = name, .Commands = commands, .Help = help, .Switch = field};
}
constexpr Option FileOption(const char* name, CommandSet commands, QString CliOptions::*field,
                            const char* help) {
    return {.Name = name, .Value = "ФАЙЛ", .Commands = commands, .Help = help, .File = field};
}
constexpr Option NumberOption(const char* name, const char* value, CommandSet commands,
                              int& (*field)(CliOptions&), std::pair<int, int> range,
                              const char* help) {
    Option option{.Name = name, .Value = value, .Commands = commands, .Help = help};
    option.Number = field;
    option.Range = range;
    return option;
}
// A developer's interval in milliseconds.
constexpr Option IntervalOption(const char* name, int& (*field)(CliOptions&), int min,
                                const char* help) {
    Option option = NumberOption(name, "МС", kEveryCommand, field, {min, INT_MAX / 1000}, help);
    option.Developer = true;
    return option;
}
constexpr Option ParsedOption(const char* name, const char* value, CommandSet commands,
                              decltype(Option::Set) set, const char* help) {
    return {.Name = name, .Value = value, .Commands = commands, .Help = help, .Set = set};
}

const Option kOptions[] = {
    ParsedOption("device", "ШИНА:НОМЕР", kLinkedCommands, SetDevice,
                 "устройство из списка list (по умолчанию первое найденное); у всех команд, "
                 "кроме list; write, verify, read и info принимают несколько"),
    SwitchOption("all", kSeveralDeviceCommands, &CliOptions::AllDevices,
                 "все подключённые устройства, каждое по своей связи (write, verify, read, info)"),
    FileOption("flash", kImageCommands, &CliOptions::FlashFile, "образ FLASH"),
    FileOption("eeprom", kImageCommands | Bit(Command::Read), &CliOptions::EepromFile,
               "образ EEPROM (для read — файл, куда читается EEPROM)"),
    FileOption("aux", Bit(Command::Read), &CliOptions::AuxFile, "файл, куда читается AUX"),
    ParsedOption("format", "ФОРМАТ", kImageCommands, SetFormat,
                 "как читать образы: auto (по умолчанию; .hex для FLASH и .eep для EEPROM — "
                 "Intel HEX, остальные — двоичные), hex или raw"),
    FileOption("journal", kImageCommands | Bit(Command::Read), &CliOptions::JournalFile,
               "журнал производства: по строке JSON на каждое устройство, дописывается с "
               "fsync; не записывается — код %5"),
    NumberOption(
        "count", "N", Bit(Command::Station), [](CliOptions& o) -> int& { return o.Count; },
        {1, INT_MAX}, "сколько устройств обслужить, %2–%3 (по умолчанию — до Ctrl-C)"),
    ParsedOption("ports", "ПОРТЫ", Bit(Command::Station), SetPorts,
                 "только эти порты USB (как их показывает lsusb -t: 1-1.2,1-1.3)"),
    ParsedOption("serial-eeprom", "АДРЕС", Bit(Command::Station), SetSerialAddress,
                 "серийный номер (32 бита, младший байт первым) по этому адресу EEPROM, вместе "
                 "с образом EEPROM"),
    FileOption("serial-file", Bit(Command::Station), &CliOptions::SerialFile,
               "счётчик серийных номеров: следующий номер десятичным текстом"),
    NumberOption(
        "port", "N", Bit(Command::Bridge), [](CliOptions& o) -> int& { return o.TcpPort; },
        {0, 65535}, "порт TCP (по умолчанию %1; 0 — любой свободный)"),
    SwitchOption("json", kEveryCommand, &CliOptions::Json,
                 "по одному объекту JSON в строке на событие (log, step, note, progress, info, "
                 "device, listening, device_result, result)"),
    {.Name = "quiet",
     .Short = "q",
     .Help = "только результат и ошибки",
     .Switch = &CliOptions::Quiet},
    SwitchOption("verbose", kEveryCommand, &CliOptions::Verbose,
                 "ещё и строки журнала, как в окне программы"),
    NumberOption(
        "timeout", "С", kEveryCommand, [](CliOptions& o) -> int& { return o.TimeoutS; },
        {1, kMaxTimeoutS},
        "предел времени всей команды, %2–%3 с (по умолчанию %1; для bridge — без предела, по "
        "истечении мост закрывается с кодом 0)"),
    NumberOption(
        "link-timeout", "С", (kLinkedCommands & ~Bit(Command::Bridge)) | Bit(Command::Station),
        [](CliOptions& o) -> int& { return o.LinkTimeoutS; }, {1, kMaxTimeoutS},
        "сколько ждать возвращения потерянной связи, %2–%3 с (по умолчанию %1), затем код "
        "%4; у всех команд, кроме list и bridge"),
    {.Name = "help", .Short = "h", .Help = "эта справка"},
    {.Name = "version", .Help = "версия программы"},
    IntervalOption(
        "watchdog-ms", [](CliOptions& o) -> int& { return o.Timings.WatchdogMs; }, 1,
        "сторожевой интервал связи (по умолчанию %1)"),
    IntervalOption(
        "fault-pause-ms", [](CliOptions& o) -> int& { return o.Timings.FaultPauseMs; }, 0,
        "пауза перед повторным открытием после сбоя (%1)"),
    IntervalOption(
        "poll-ms", [](CliOptions& o) -> int& { return o.Timings.PollTickMs; }, 1,
        "интервал опроса (%1)"),
};

const struct {
    int Status;
    const char* Meaning;
} kExitStatuses[] = {
    {kExitDone, "выполнено"},
    {kExitUsage, "неверный вызов (или порт TCP не открывается)"},
    {kExitLink, "нет устройства или нет прав на него, связь потеряна и не вернулась (кроме "
                "bridge), устройство не отвечает или его тип не обслуживается, истекло время"},
    {kExitFile, "файл не принят: не открывается, ошибка формата (с номером строки), слишком "
                "большой, пустой, не того формата"},
    {kExitMismatch, "ошибка верификации (с адресом)"},
    {kExitJournal, "журнал производства не записывается: устройства без записи не "
                   "программируются (станция останавливается до следующего устройства)"},
    {kExitHangup, "прервано сигналом SIGHUP (кроме bridge: он по сигналу завершается с кодом 0)"},
    {kExitInterrupted, "прервано: Ctrl-C, сигнал SIGINT (кроме bridge)"},
    {kExitTerminated, "прервано сигналом SIGTERM (кроме bridge)"},
};

constexpr int kHelpColumn = 24;
constexpr int kExitColumn = 7;
constexpr int kHelpWidth = 80;

// "  TERM    description" with the description wrapped under itself from column on; a long
// term gets a line of its own.
QString HelpEntry(const QString& term, const QString& help, int column = kHelpColumn) {
    const QString indent(column, QLatin1Char(' '));
    QString entry;
    QString line = QStringLiteral("  ") + term;
    if (line.size() < column - 1) {
        line = line.leftJustified(column);
    } else {
        entry = line + QLatin1Char('\n');
        line = indent;
    }
    bool lineEmpty = true; // no word of the description on it yet
    for (const QString& word : help.split(QLatin1Char(' '))) {
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

QString OptionHelp(const Option& option) {
    QString help = QString::fromUtf8(option.Help);
    if (!option.Number) return help.replace(QLatin1String("%5"), QString::number(kExitJournal));
    CliOptions defaults;
    return help.replace(QLatin1String("%1"), QString::number(option.Number(defaults)))
        .replace(QLatin1String("%2"), QString::number(option.Range.first))
        .replace(QLatin1String("%3"), QString::number(option.Range.second))
        .replace(QLatin1String("%4"), QString::number(kExitLink))
        .replace(QLatin1String("%5"), QString::number(kExitJournal));
}

QString LongName(const Option& option) {
    return QStringLiteral("--") + QLatin1String(option.Name);
}

QString OptionHead(const Option& option) {
    QString head = option.Short ? QStringLiteral("-%1, ").arg(QLatin1String(option.Short)) : "";
    head += LongName(option);
    if (option.Value) head += QLatin1Char(' ') + QString::fromUtf8(option.Value);
    return head;
}

// "write [--flash ФАЙЛ] ..." with the options this command alone takes.
QString Synopsis(const CommandInfo& command) {
    QString line = QLatin1String(command.Name);
    if (command.Cmd == Command::Help) return line + QStringLiteral(" [КОМАНДА]");
    if (command.Cmd == Command::Journal) line += QStringLiteral(" ФАЙЛ");
    for (const Option& option : kOptions) {
        // Options of most commands are told in their own entries.
        if (!(option.Commands & Bit(command.Cmd)) || std::popcount(option.Commands) > 3) continue;
        line += QStringLiteral(" [%1%2]").arg(
            LongName(option),
            option.Value ? QLatin1Char(' ') + QString::fromUtf8(option.Value) : QString());
    }
    return line;
}

QString OptionsHelp(CommandSet commands) {
    QString text = QStringLiteral("Ключи:\n");
    QString developer;
    for (const Option& option : kOptions)
        if (option.Commands & commands)
            (option.Developer ? developer : text) +=
                HelpEntry(OptionHead(option), OptionHelp(option));
    if (!developer.isEmpty()) text += QStringLiteral("\nДля разработки и тестов:\n") + developer;
    return text;
}

QString ExitHelp() {
    QString text = QStringLiteral("Коды завершения:\n");
    for (const auto& exit : kExitStatuses)
        text +=
            HelpEntry(QString::number(exit.Status), QString::fromUtf8(exit.Meaning), kExitColumn);
    return text + QStringLiteral("При нескольких устройствах код — наибольший из их кодов. При "
                                 "любой ошибке\nв stderr выводится одна строка с её описанием.\n");
}

const CommandInfo* FindCommand(const QString& name) {
    for (const CommandInfo& info : kCommands)
        if (name == QLatin1String(info.Name)) return &info;
    return nullptr;
}

// name as typed: "--quiet" or "-q".
const Option* FindOption(const QString& name) {
    for (const Option& option : kOptions)
        if (name == LongName(option) ||
            (option.Short && name == QLatin1Char('-') + QLatin1String(option.Short)))
            return &option;
    return nullptr;
}

// One option with its value, or a word (the command, the help's topic).
struct Token {
    const Option* Opt = nullptr;    // nullptr: a word
    qsizetype First = 0, Count = 1; // its arguments: the option and the value after it
};

// What QCommandLineParser would let through (a value that is the next option, an empty one)
// or tell in English is refused here, in the order given; problem says why, else it stays empty.
// On a refusal, the tokens up to the refused one.
QList<Token> Tokens(const QStringList& arguments, QString& problem) {
    QList<Token> tokens;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        Token& token = tokens.emplace_back(Token{nullptr, i, 1});
        if (!argument.startsWith(QLatin1Char('-'))) continue;
        const qsizetype eq =
            argument.startsWith(QLatin1String("--")) ? argument.indexOf(QLatin1Char('=')) : -1;
        const QString name = eq > 0 ? argument.left(eq) : argument;
        token.Opt = FindOption(name);
        if (!token.Opt) {
            problem = QStringLiteral("неизвестный ключ %1").arg(name);
        } else if (!token.Opt->Value && eq > 0) {
            problem = QStringLiteral("ключ %1 не принимает значения").arg(name);
        } else if (token.Opt->Value && eq > 0) {
            if (eq + 1 == argument.size())
                problem = QStringLiteral("ключу %1 нужно значение").arg(name);
        } else if (token.Opt->Value) {
            // A value never takes the next option: "read --eeprom --quiet" names no file.
            if (i + 1 >= arguments.size() || arguments[i + 1].isEmpty())
                problem = QStringLiteral("ключу %1 нужно значение").arg(name);
            else if (arguments[i + 1].startsWith(QLatin1Char('-')))
                problem = QStringLiteral("ключу %1 нужно значение, а не «%2»")
                              .arg(name, arguments[i + 1]);
            token.Count = 2;
            ++i;
        }
        if (!problem.isEmpty()) break;
    }
    return tokens;
}

QString SetValue(const Option& option, const QString& value, CliOptions& options) {
    const QString bad =
        QStringLiteral("неверное значение «%1» ключа %2").arg(value, LongName(option));
    if (option.Switch) options.*option.Switch = true;
    if (option.File) options.*option.File = value;
    if (option.Set) return option.Set(value, options, bad);
    if (option.Number &&
        !ParseNumber(value, option.Range.first, option.Range.second, option.Number(options)))
        return bad + QStringLiteral(": нужно целое число от %1 до %2")
                         .arg(option.Range.first)
                         .arg(option.Range.second);
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
    case Command::Station:
        if ((options.SerialAddress >= 0) != !options.SerialFile.isEmpty())
            return QStringLiteral("ключи --serial-eeprom и --serial-file нужны вместе");
        if (options.SerialAddress >= 0 && options.EepromFile.isEmpty())
            return QStringLiteral("серийный номер пишется вместе с образом: нужен --eeprom ФАЙЛ");
        [[fallthrough]];
    case Command::Write:
    case Command::Verify:
        if (options.FlashFile.isEmpty() && options.EepromFile.isEmpty())
            return QStringLiteral("команде %1 нужен файл: --flash ФАЙЛ и/или --eeprom ФАЙЛ")
                .arg(command);
        break;
    case Command::Read:
        if (options.EepromFile.isEmpty() && options.AuxFile.isEmpty())
            return QStringLiteral("команде read нужен файл: --eeprom ФАЙЛ и/или --aux ФАЙЛ");
        break;
    case Command::Journal:
        if (options.JournalFile.isEmpty())
            return QStringLiteral("команде journal нужен файл: ktr-cli journal ФАЙЛ");
        break;
    default:
        break;
    }
    return {};
}

} // namespace

QList<int> ExitStatuses() {
    QList<int> statuses;
    for (const auto& exit : kExitStatuses)
        statuses << exit.Status;
    return statuses;
}

QString CommandName(Command command) {
    for (const CommandInfo& info : kCommands)
        if (info.Cmd == command) return QLatin1String(info.Name);
    return command == Command::Version ? QStringLiteral("--version") : QString();
}

DeviceTask TaskOf(Command command) {
    for (const CommandInfo& info : kCommands)
        if (info.Cmd == command) return info.Task;
    return DeviceTask::Info;
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
    QString problem;
    // A command before the refused argument is still told, so is its help.
    const QList<Token> tokens = Tokens(arguments, problem);
    for (const Token& token : tokens)
        if (const QString& word = arguments[token.First]; !token.Opt && !word.startsWith('-')) {
            if (const CommandInfo* info = FindCommand(word)) options.Cmd = info->Cmd;
            break;
        }
    if (!problem.isEmpty()) return problem;
    QCommandLineParser parser;
    for (const Option& option : kOptions) {
        QStringList names{QLatin1String(option.Name)};
        if (option.Short) names.prepend(QLatin1String(option.Short));
        parser.addOption(QCommandLineOption(
            names, {}, option.Value ? QString::fromUtf8(option.Value) : QString()));
    }
    // Its first argument is the program's name.
    if (!parser.parse(QStringList{QString()} + arguments))
        return parser.errorText(); // not after Tokens()

    const QStringList words = parser.positionalArguments();
    for (qsizetype i = 0; i < words.size(); ++i) {
        if (i == 1 && options.Cmd == Command::Journal) {
            options.JournalFile = words[i];
            continue;
        }
        const CommandInfo* info = FindCommand(words[i]);
        if (i > (options.Cmd == Command::Help ? 1 : 0))
            return QStringLiteral("лишний аргумент «%1»").arg(words[i]);
        if (!info) return QStringLiteral("неизвестная команда «%1»").arg(words[i]);
        if (i == 0)
            options.Cmd = info->Cmd;
        else
            options.HelpTopic = info->Cmd == Command::Help ? Command::None : info->Cmd;
    }
    QList<const Option*> given; // in the order given, each once
    for (const Token& token : tokens) {
        if (given.contains(token.Opt) && token.Opt->Set != SetDevice)
            return QStringLiteral("ключ %1 указан дважды").arg(LongName(*token.Opt));
        if (token.Opt && !given.contains(token.Opt)) given << token.Opt;
    }
    if (options.Cmd == Command::None) return QStringLiteral("не указана команда");
    if (options.Cmd == Command::Help) return {};
    for (const Option* option : given) {
        if (!(option->Commands & Bit(options.Cmd)))
            return QStringLiteral("ключ %1 не относится к команде %2")
                .arg(LongName(*option), CommandName(options.Cmd));
        for (const QString& value :
             option->Value ? parser.values(QLatin1String(option->Name)) : QStringList{QString()})
            if (QString problem = SetValue(*option, value, options); !problem.isEmpty())
                return problem;
    }
    options.TimeoutSet = parser.isSet(QStringLiteral("timeout"));
    return CheckTogether(options);
}

QString CliHelp(Command topic) {
    if (topic != Command::None) {
        const CommandInfo* info = FindCommand(CommandName(topic));
        if (!info) return CliHelp();
        return QStringLiteral("Использование: ktr-cli %1 [КЛЮЧИ]\n\n").arg(Synopsis(*info)) +
               HelpEntry(QLatin1String(info->Name), QString::fromUtf8(info->Help)) +
               QLatin1Char('\n') + OptionsHelp(Bit(topic)) + QLatin1Char('\n') + ExitHelp();
    }
    QString commands;
    for (const CommandInfo& info : kCommands)
        commands += HelpEntry(Synopsis(info), QString::fromUtf8(info.Help));
    return QStringLiteral(
               "Использование: ktr-cli КОМАНДА [КЛЮЧИ]\n"
               "               ktr-cli help [КОМАНДА] | КОМАНДА --help | --version\n\n"
               "Работа с устройством 1000:6666 из командной строки: запись и проверка\n"
               "памяти, чтение данных, мост TCP; одно устройство или несколько сразу.\n"
               "Значение ключа, начинающееся с «-», пишется через «=»: --flash=-a.hex\n\n"
               "Команды:\n") +
           commands + QLatin1Char('\n') + OptionsHelp(kEveryCommand) + QLatin1Char('\n') +
           ExitHelp();
}

} // namespace ktr::cli
