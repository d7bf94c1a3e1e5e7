// One operator's session through the window against the simulated device: connect, see the
// device, write a firmware file, talk to it over TCP, run its configurator.
#include "HexText.h"
#include "LogLines.h"
#include "WindowFixture.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTcpSocket>

using namespace ktr;

class TestUiSession : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", configHome_.path().toUtf8()); }

    void wholeSession() {
        WindowFixture f;
        f.Form->Configurator().SetLibraryDirs({QStringLiteral(KTR_CONFIGURATORS)});
        f.Form->show();

        // Connect: the device names itself, its sizes are shown, its kind chosen.
        QVERIFY(f.Connect());
        QCOMPARE(f.Get<QLabel>("StatusPanel")->text(),
                 QStringLiteral("Подключено устройство: Модем КТР-17"));
        QCOMPARE(f.Get<QLabel>("Label1")->text(), QStringLiteral("Размер 131072 байт"));
        QCOMPARE(f.Get<QLabel>("Label2")->text(), QStringLiteral("Размер 4096 байт"));
        QCOMPARE(f.Form->windowTitle(), QStringLiteral("Конфигуратор модемов КТР-17"));
        QCOMPARE(f.Get<QComboBox>("ComboBox1")->currentIndex(), 0);
        QVERIFY(f.Get<QPushButton>("Button3")->isEnabled());

        // A HEX file written and verified, the bar moving down to empty as blocks retire.
        const std::vector<uint8_t> image = RandomBytes(20000);
        const QString hex = f.Dir.filePath(QStringLiteral("fw.hex"));
        {
            QFile file(hex);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(ToHex(image));
        }
        auto* bar = f.Get<QProgressBar>("ProgressBar1");
        QList<int> positions;
        connect(bar, &QProgressBar::valueChanged, this, [&](int v) { positions << v; });
        f.Get<QLineEdit>("Edit1")->setText(hex);
        const int logBefore = f.Log().size();
        f.Get<QPushButton>("Button1")->click();
        QCOMPARE(bar->maximum(), 2 * 79); // 79 blocks of 256, written then verified
        QCOMPARE(bar->value(), bar->maximum());
        positions.clear();
        QVERIFY(
            f.RunUntil([&] { return f.Log().size() > logBefore + 1 && f.Log().last() == kDone; }));
        QCOMPARE(f.Log().mid(logBefore),
                 (QStringList{QStringLiteral("Запуск прошивки основной программы..."), kDone}));
        QVERIFY(positions.size() > 100);
        QVERIFY(std::is_sorted(positions.rbegin(), positions.rend())); // only ever down
        QCOMPARE(bar->value(), 0);
        QCOMPARE(f.Get<QLabel>("Label4")->text(), QStringLiteral("Очередь команд: 0."));
        QVERIFY(std::equal(image.begin(), image.end(), f.Device.Flash().begin()));

        // A TCP client: the banner, then its bytes through the device and back.
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, f.Form->Bridge().ListeningPort());
        QByteArray received;
        connect(&client, &QTcpSocket::readyRead, this, [&] { received += client.readAll(); });
        QVERIFY(f.RunUntil([&] { return received.size() >= 19; }));
        QCOMPARE(received, QByteArray("Welcome to TcpSrv\r\n"));
        QCOMPARE(f.Get<QLabel>("Label9")->text(), QStringLiteral("Подключений: 1"));
        client.write("hello, device");
        QVERIFY(f.RunUntil([&] { return received.size() >= 19 + 13; }));
        QCOMPARE(received.mid(19), QByteArray("hello, device"));
        QCOMPARE(f.Form->windowTitle(), QStringLiteral("0")); // the fill before the read
        QCOMPARE(f.Device.TcpReceived(),
                 (std::vector<uint8_t>(received.begin() + 19, received.end())));

        // The kind's configurator: reads both areas and writes its run record into each.
        f.Get<QPushButton>("Button3")->click();
        QVERIFY(f.RunUntil([&] { return !f.Form->Configurator().Running(); }));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(f.Device.Eeprom().data()), 4),
                 QByteArray("KCFG"));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(f.Device.Aux().data()), 4),
                 QByteArray("KCFG"));

        // Closing asks, then closes the link.
        ModalAnswerer yes(ModalAnswerer::Click(QMessageBox::Yes));
        f.Form->close();
        QCOMPARE(yes.Seen.size(), 1);
        QVERIFY(!f.Form->Link().IsOpen());
    }

private:
    QTemporaryDir configHome_;
};

QTEST_MAIN(TestUiSession)
#include "tst_ui_session.moc"
