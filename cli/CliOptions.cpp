#include "CliOptions.h"

#include <QRegularExpression>

#include <array>
#include <climits>

namespace ktr::cli {

namespace {

struct CommandInfo {
    Command Cmd;
    const char* Name;
};
constexpr std::array<CommandInfo, 7> kCommands{{{Command::List, "list"},
                                                {Command::Info, "info"},
                                                {Command::Write, "write"},
                                                {Command::Verify, "verify"},
                                                {Command::Read, "read"},
                                                {Command::Bridge, "bridge"},
                                                {Command::Configure, "configure"}}};

// Options taking a value, and the commands each one belongs to (empty: every command).
struct ValueOption {
    const char* Name;
    std::initializer_list<Command> Commands;
};
const ValueOption kValueOptions[] = {
    {"--device",
     {Command::Info, Command::Write, Command::Verify, Command::Read, Command::Bridge,
      Command::Configure}},
    {"--flash", {Command::Write, Command::Verify}},
    {"--eeprom", {Command::Write, Command::Verify, Command::Read}},
    {"--aux", {Command::Read}},
    {"--port", {Command::Bridge}},
    {"--timeout", {}},
    {"--watchdog-ms", {}},
    {"--fault-pause-ms", {}},
    {"--poll-ms", {}},
};

bool ParseNumber(const QString& text, int min, int max, int& value) {
    bool ok = false;
    const qlonglong number = text.toLongLong(&ok, 10);
    if (!ok || number < min || number > max || text.startsWith(QLatin1Char('+'))) return false;
    value = int(number);
    return true;
}

// BUS:DEV in decimal, as `list` prints them.
bool ParseDevice(const QString& text, int& bus, int& device) {
    static const QRegularExpression pattern(QStringLiteral("^(\\d{1,3}):(\\d{1,3})$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch()) return false;
    bus = match.captured(1).toInt();
    device = match.captured(2).toInt();
    return bus > 0 && device > 0;
}

QString Belongs(const ValueOption& option, Command command) {
    if (option.Commands.size() == 0) return {};
    for (Command allowed : option.Commands)
        if (allowed == command) return {};
    return QStringLiteral("ключ %1 не относится к команде %2")
        .arg(QLatin1String(option.Name), CommandName(command));
}

QString SetValue(const QString& name, const QString& value, CliOptions& options) {
    const QString bad = QStringLiteral("неверное значение «%1» ключа %2").arg(value, name);
    int number = 0;
    if (name == QLatin1String("--device")) {
        if (!ParseDevice(value, options.Bus, options.Device))
            return bad + QStringLiteral(" (нужно ШИНА:НОМЕР, например 1:2)");
    } else if (name == QLatin1String("--flash")) {
        options.FlashFile = value;
    } else if (name == QLatin1String("--eeprom")) {
        options.EepromFile = value;
    } else if (name == QLatin1String("--aux")) {
        options.AuxFile = value;
    } else if (name == QLatin1String("--port")) {
        if (!ParseNumber(value, 0, 65535, options.TcpPort)) return bad;
    } else if (name == QLatin1String("--timeout")) {
        if (!ParseNumber(value, 1, kMaxTimeoutS, options.TimeoutS)) return bad;
        options.TimeoutSet = true;
    } else {
        if (!ParseNumber(value, name == QLatin1String("--fault-pause-ms") ? 0 : 1, INT_MAX / 1000,
                         number))
            return bad;
        int& target = name == QLatin1String("--watchdog-ms") ? options.Timings.WatchdogMs
                      : name == QLatin1String("--poll-ms")   ? options.Timings.PollTickMs
                                                             : options.Timings.FaultPauseMs;
        target = number;
    }
    return {};
}

QString CheckFiles(const CliOptions& options) {
    switch (options.Cmd) {
    case Command::Write:
    case Command::Verify:
        if (options.FlashFile.isEmpty() && options.EepromFile.isEmpty())
            return QStringLiteral("команде %1 нужен файл: --flash ФАЙЛ и/или --eeprom ФАЙЛ")
                .arg(CommandName(options.Cmd));
        break;
    case Command::Read:
        if (options.EepromFile.isEmpty() && options.AuxFile.isEmpty())
            return QStringLiteral("команде read нужен файл: --eeprom ФАЙЛ и/или --aux ФАЙЛ");
        break;
    default:
        break;
    }
    return {};
}

} // namespace

QString CommandName(Command command) {
    for (const CommandInfo& info : kCommands)
        if (info.Cmd == command) return QLatin1String(info.Name);
    return QStringLiteral("--help");
}

QString ParseCliOptions(const QStringList& arguments, CliOptions& options) {
    options = CliOptions{};
    bool haveCommand = false;
    // Values are checked against the command once it is known, wherever it stands.
    QList<std::pair<const ValueOption*, QString>> values;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString argument = arguments[i];
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            options.Cmd = Command::Help;
            return {};
        }
        if (argument == QLatin1String("--json")) {
            options.Json = true;
            continue;
        }
        if (argument == QLatin1String("--quiet") || argument == QLatin1String("-q")) {
            options.Quiet = true;
            continue;
        }
        if (argument.startsWith(QLatin1Char('-'))) {
            QString value;
            bool inlineValue = false;
            if (const qsizetype eq = argument.indexOf(QLatin1Char('=')); eq > 0) {
                value = argument.mid(eq + 1);
                argument.truncate(eq);
                inlineValue = true;
            }
            const ValueOption* option = nullptr;
            for (const ValueOption& candidate : kValueOptions)
                if (argument == QLatin1String(candidate.Name)) option = &candidate;
            if (!option) return QStringLiteral("неизвестный ключ %1").arg(argument);
            if (!inlineValue) {
                if (i + 1 >= arguments.size())
                    return QStringLiteral("ключу %1 нужно значение").arg(argument);
                value = arguments[++i];
            }
            values.append({option, value});
            continue;
        }
        if (haveCommand) return QStringLiteral("лишний аргумент «%1»").arg(argument);
        const auto known = std::find_if(kCommands.begin(), kCommands.end(), [&](const auto& c) {
            return argument == QLatin1String(c.Name);
        });
        if (known == kCommands.end())
            return QStringLiteral("неизвестная команда «%1»").arg(argument);
        options.Cmd = known->Cmd;
        haveCommand = true;
    }
    if (!haveCommand) return QStringLiteral("не указана команда");
    for (const auto& [option, value] : values) {
        if (QString problem = Belongs(*option, options.Cmd); !problem.isEmpty()) return problem;
        if (QString problem = SetValue(QLatin1String(option->Name), value, options);
            !problem.isEmpty())
            return problem;
    }
    return CheckFiles(options);
}

QString CliHelp() {
    return QStringLiteral(
        R"(Использование: ktr-cli КОМАНДА [КЛЮЧИ]

Работа с устройством 1000:6666 из командной строки: запись и проверка памяти,
чтение данных, мост TCP.

Команды:
  list                          подключённые устройства, по одному в строке (ШИНА:НОМЕР)
  info                          имя и тип устройства, размеры FLASH, EEPROM и AUX
  write --flash ФАЙЛ [--eeprom ФАЙЛ]
                                запись с проверкой (любой из файлов или оба);
                                файл .hex для FLASH и .eep для EEPROM читается как
                                Intel HEX, любой другой — как двоичный
  verify --flash ФАЙЛ [--eeprom ФАЙЛ]
                                только проверка: устройство сравнивается с файлом,
                                ничего не записывается
  read --eeprom ФАЙЛ [--aux ФАЙЛ]
                                вся область целиком в двоичный файл (FLASH не читается)
  bridge [--port N]             мост TCP на 127.0.0.1 (по умолчанию порт 10005;
                                0 — любой свободный) до Ctrl-C; как и окно, мост
                                работает и при потерянной связи
  configure                     конфигуратор типа подключённого устройства

Ключи:
  --device ШИНА:НОМЕР           устройство из списка list (по умолчанию первое)
  --json                        по одному объекту JSON в строке на событие
                                (log, note, progress, info, device, listening, result)
  -q, --quiet                   только результат и ошибки
  --timeout С                   предел времени всей команды в секундах (по умолчанию
                                3600; для bridge — без предела, по истечении мост
                                закрывается с кодом 0)
  -h, --help                    эта справка

Для разработки и тестов:
  --watchdog-ms МС              сторожевой интервал связи (по умолчанию 10000)
  --fault-pause-ms МС           пауза перед повторным открытием после сбоя (1000)
  --poll-ms МС                  интервал опроса (50)

Коды завершения:
  0    выполнено
  2    неверный вызов (или порт TCP не открывается)
  3    нет устройства, связь потеряна и не восстановлена (кроме bridge), или истекло время
  4    файл не принят: не открывается, ошибка формата (с номером строки), слишком большой
  5    ошибка верификации (с адресом)
  130  прервано (Ctrl-C) во время любой команды, кроме bridge
При любой ошибке в stderr выводится одна строка с её описанием.
)");
}

} // namespace ktr::cli
