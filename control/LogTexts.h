// The link's own log texts, named once. Only the operator reads them: code that needs an
// outcome listens to the link's signals.
#pragma once

#include <QString>

namespace ktr {

inline const QString kLogOpened = QStringLiteral("Порт связи открыт. (USB)");
inline const QString kLogCannotOpen = QStringLiteral("Порт связи не может быть открыт.");
inline const QString kLogClosing = QStringLiteral("Закрытие порта связи");
inline const QString kLogClosed = QStringLiteral("Порт связи закрыт");
inline const QString kLogRequesting = QStringLiteral("Запрос текущего состояния...");
inline const QString kLogEstablished = QStringLiteral("Установлена связь с устройством.");
inline const QString kLogWatchdog = QStringLiteral("Модем не подключен!");
inline const QString kLogDone = QStringLiteral("Операция успешно завершена.");
inline const QString kLogCleared = QStringLiteral("Очередь команд очищена!");
inline const QString kStatusPrefix = QStringLiteral("Подключено устройство: ");

} // namespace ktr
