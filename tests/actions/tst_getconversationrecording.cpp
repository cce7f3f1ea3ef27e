#include "actions/getconversationrecording.h"
#include "httptestclient.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Orvix;

class tst_GetConversationRecording : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void streamsTheFile_data();
    void streamsTheFile();

private:
    QTemporaryDir m_dir;
    std::unique_ptr<Tests::HttpTestClient> m_client;
    std::unique_ptr<Actions::GetConversationRecording> m_action;
    QString m_path;
};

void tst_GetConversationRecording::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_client = std::make_unique<Tests::HttpTestClient>();
    QVERIFY(m_client->isListening());
    m_action = std::make_unique<Actions::GetConversationRecording>();
    connect(m_action.get(), &Actions::GetConversationRecording::request, this,
            [this](const QString &, const QString &, const QString &, Utils::Promise<QString> promise) {
                promise.resolve(m_path);
            });
}

void tst_GetConversationRecording::streamsTheFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("size");
    QTest::addColumn<QByteArray>("contentType");

    QTest::newRow("5 MiB wav") << "out-101-200.wav" << 5 * 1024 * 1024 << QByteArray("audio/wav");
    QTest::newRow("mp3") << "out.mp3" << 70001 << QByteArray("audio/mpeg");
    QTest::newRow("empty file") << "empty.gsm" << 0 << QByteArray("audio/x-gsm");
    QTest::newRow("unknown kind") << "out.raw" << 1000 << QByteArray("application/octet-stream");
}

void tst_GetConversationRecording::streamsTheFile()
{
    QFETCH(QString, name);
    QFETCH(int, size);
    QFETCH(QByteArray, contentType);

    QByteArray content(size, Qt::Uninitialized);
    for (char &byte : content)
        byte = static_cast<char>(QRandomGenerator::global()->bounded(256));
    m_path = m_dir.filePath(name);
    QFile file(m_path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(size));
    file.close();

    const Tests::HttpAnswer answer =
        m_client->request("/get_conversation_recording?id=1700000000.5&from=101&to=200", false);
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.contentType, contentType);
    QCOMPARE(answer.body.size(), size);
    QVERIFY(answer.body == content);
}

QTEST_GUILESS_MAIN(tst_GetConversationRecording)
#include "tst_getconversationrecording.moc"
