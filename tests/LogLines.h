// The operator's log lines that tests look for, byte for byte.
#pragma once

#include <QString>

inline const QString kDone = QStringLiteral("Операция успешно завершена.");
inline const QString kOpened = QStringLiteral("Порт связи открыт. (USB)");
inline const QString kClosing = QStringLiteral("Закрытие порта связи");
inline const QString kClosed = QStringLiteral("Порт связи закрыт");
inline const QString kCannotOpen = QStringLiteral("Порт связи не может быть открыт.");
inline const QString kWatchdog = QStringLiteral("Модем не подключен!");
inline const QString kEstablished = QStringLiteral("Установлена связь с устройством.");
inline const QString kRequesting = QStringLiteral("Запрос текущего состояния...");
inline const QString kCleared = QStringLiteral("Очередь команд очищена!");
inline const QString kTooLarge = QStringLiteral("Файл слишком большой!");
