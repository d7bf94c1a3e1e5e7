#include "JournalSummary.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace ktr {

namespace {

// What every record carries and the summary reads; a later version's records may carry more.
const std::pair<const char*, QJsonValue::Type> kRecordKeys[] = {
    {"number", QJsonValue::Double}, {"start", QJsonValue::String}, {"end", QJsonValue::String},
    {"status", QJsonValue::Double}, {"phase", QJsonValue::String}, {"seconds", QJsonValue::Double},
    {"images", QJsonValue::Array}};

// Why the line is no record of the journal; empty when it is one.
QString NotARecord(const QByteArray& line, QJsonObject& record) {
    QJsonParseError parse{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &parse);
    if (parse.error != QJsonParseError::NoError || !document.isObject())
        return QStringLiteral("не объект JSON");
    record = document.object();
    for (const auto& [key, type] : kRecordKeys) {
        const QJsonValue value = record.value(QLatin1String(key));
        if (value.isUndefined()) return QStringLiteral("нет поля «%1»").arg(QLatin1String(key));
        if (value.type() != type)
            return QStringLiteral("поле «%1» не того типа").arg(QLatin1String(key));
    }
    for (const QJsonValue image : record.value(QLatin1String("images")).toArray())
        if (!image.toObject().value(QLatin1String("sha256")).isString())
            return QStringLiteral("поле «images» не того типа");
    return {};
}

std::optional<double> Median(std::vector<double> values) {
    if (values.empty()) return std::nullopt;
    const size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + middle, values.end());
    if (values.size() % 2) return values[middle];
    const double below = *std::max_element(values.begin(), values.begin() + middle);
    return (below + values[middle]) / 2;
}

QString PhaseText(const QString& phase) {
    static const std::map<QString, QString> names{
        {QStringLiteral("connect"), QStringLiteral("связь")},
        {QStringLiteral("identify"), QStringLiteral("опознание")},
        {QStringLiteral("write"), QStringLiteral("запись")},
        {QStringLiteral("verify"), QStringLiteral("проверка")},
        {QString(), QStringLiteral("не указан")}};
    const auto name = names.find(phase);
    return name == names.end() ? phase : name->second;
}

QString Counts(int devices, int passed, int failed) {
    return QStringLiteral("устройств: %1, прошли: %2, не прошли: %3")
        .arg(devices)
        .arg(passed)
        .arg(failed);
}

QJsonValue Optional(const std::optional<double>& value) {
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

} // namespace

std::optional<double> JournalSummary::Yield() const {
    if (Devices == 0) return std::nullopt;
    return double(Passed) / Devices;
}

JournalSummary SummarizeJournal(QIODevice& in) {
    JournalSummary summary;
    std::vector<double> seconds;
    qint64 number = 0;
    while (!in.atEnd()) {
        QByteArray line = in.readLine();
        ++number;
        if (line.endsWith('\n')) line.chop(1);
        QJsonObject record;
        const QString reason = NotARecord(line, record);
        if (!reason.isEmpty()) {
            summary.Skipped.push_back({number, reason});
            continue;
        }
        const bool passed = record.value(QLatin1String("status")).toInt() == 0;
        ++summary.Devices;
        if (passed) {
            ++summary.Passed;
        } else {
            ++summary.FailedByStatus[record.value(QLatin1String("status")).toInt()];
            ++summary.FailedByPhase[record.value(QLatin1String("phase")).toString()];
        }
        seconds.push_back(record.value(QLatin1String("seconds")).toDouble());
        for (const QJsonValue value : record.value(QLatin1String("images")).toArray()) {
            const QJsonObject image = value.toObject();
            const QString sha256 = image.value(QLatin1String("sha256")).toString();
            auto tally = std::find_if(summary.Images.begin(), summary.Images.end(),
                                      [&](const auto& t) { return t.Sha256 == sha256; });
            if (tally == summary.Images.end())
                tally = summary.Images.insert(
                    tally, {sha256, image.value(QLatin1String("memory")).toString(),
                            image.value(QLatin1String("path")).toString()});
            ++tally->Devices;
            ++(passed ? tally->Passed : tally->Failed);
        }
    }
    summary.MedianSeconds = Median(seconds);
    if (!seconds.empty())
        summary.SlowestSeconds = *std::max_element(seconds.begin(), seconds.end());
    return summary;
}

std::optional<JournalSummary> SummarizeJournal(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("журнал %1: не открывается (%2)").arg(path, file.errorString());
        return std::nullopt;
    }
    return SummarizeJournal(file);
}

QString JournalSummaryText(const JournalSummary& summary) {
    const std::optional<double> yield = summary.Yield();
    QString text =
        Counts(summary.Devices, summary.Passed, summary.Failed()) +
        QStringLiteral(", выход: %1\n")
            .arg(yield ? QStringLiteral("%1%").arg(*yield * 100, 0, 'f', 1) : QStringLiteral("—"));
    if (summary.Failed() > 0) {
        QStringList byStatus, byPhase;
        for (const auto& [status, count] : summary.FailedByStatus)
            byStatus << QStringLiteral("%1 — %2").arg(status).arg(count);
        for (const auto& [phase, count] : summary.FailedByPhase)
            byPhase << QStringLiteral("%1 — %2").arg(PhaseText(phase)).arg(count);
        text += QStringLiteral("не прошли по статусу: %1\n").arg(byStatus.join(", "));
        text += QStringLiteral("не прошли на этапе: %1\n").arg(byPhase.join(", "));
    }
    if (summary.MedianSeconds)
        text += QStringLiteral("время на устройство: медиана %1 с, дольше всех %2 с\n")
                    .arg(*summary.MedianSeconds, 0, 'f', 2)
                    .arg(*summary.SlowestSeconds, 0, 'f', 2);
    for (const JournalImageTally& image : summary.Images)
        text += QStringLiteral("образ %1 «%2» sha256 %3: %4\n")
                    .arg(image.Memory, image.Path, image.Sha256,
                         Counts(image.Devices, image.Passed, image.Failed));
    for (const JournalSkippedLine& skipped : summary.Skipped)
        text += QStringLiteral("строка %1 пропущена: %2\n").arg(skipped.Line).arg(skipped.Reason);
    return text;
}

QJsonObject JournalSummaryJson(const JournalSummary& summary) {
    QJsonObject byStatus, byPhase;
    for (const auto& [status, count] : summary.FailedByStatus)
        byStatus.insert(QString::number(status), count);
    for (const auto& [phase, count] : summary.FailedByPhase)
        byPhase.insert(phase, count);
    QJsonArray images, skipped;
    for (const JournalImageTally& image : summary.Images)
        images.append(QJsonObject{{QStringLiteral("sha256"), image.Sha256},
                                  {QStringLiteral("memory"), image.Memory},
                                  {QStringLiteral("path"), image.Path},
                                  {QStringLiteral("devices"), image.Devices},
                                  {QStringLiteral("passed"), image.Passed},
                                  {QStringLiteral("failed"), image.Failed}});
    for (const JournalSkippedLine& line : summary.Skipped)
        skipped.append(QJsonObject{{QStringLiteral("line"), line.Line},
                                   {QStringLiteral("reason"), line.Reason}});
    return {{QStringLiteral("devices"), summary.Devices},
            {QStringLiteral("passed"), summary.Passed},
            {QStringLiteral("failed"), summary.Failed()},
            {QStringLiteral("yield"), Optional(summary.Yield())},
            {QStringLiteral("failed_by_status"), byStatus},
            {QStringLiteral("failed_by_phase"), byPhase},
            {QStringLiteral("median_seconds"), Optional(summary.MedianSeconds)},
            {QStringLiteral("slowest_seconds"), Optional(summary.SlowestSeconds)},
            {QStringLiteral("images"), images},
            {QStringLiteral("skipped"), skipped}};
}

} // namespace ktr
