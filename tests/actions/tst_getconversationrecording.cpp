#include "actions/getconversationrecording.h"
#include "httptestclient.h"

#include <QDir>
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
    // Recordings are served from their directory only, whatever path the PBX or the customisation gives.
    QVERIFY(QDir(m_dir.path()).mkpath("rec"));
    QVERIFY(QFile::link(m_dir.filePath("secret.wav"), m_dir.filePath("rec/link.wav")));
    QVERIFY(QFile::link(m_dir.path(), m_dir.filePath("rec/dir")));
    QVERIFY(Config::Manager::update(QJsonObject{{"Asterisk", QJsonObject{{"recordings_dir", m_dir.filePath("rec")}}}})
                .isEmpty());
    m_action = std::make_unique<Actions::GetConversationRecording>();
    connect(m_action.get(), &Actions::GetConversationRecording::request, this,
            [this](const QString &, const QString &, const QString &,
                   Utils::Promise<QString, Entities::RecordingFailure> promise) {
                promise.resolve(m_path);
            });
}

void tst_GetConversationRecording::streamsTheFile_data()
{
    QTest::addColumn<QString>("name");     // the file written
    QTest::addColumn<QString>("resolved"); // the path the request is answered with
    QTest::addColumn<int>("size");
    QTest::addColumn<QByteArray>("contentType"); // empty: 404
    QTest::addColumn<QString>("link");

    // As the service writes it into the portal's activity.
    const QString written = "/get_conversation_recording?id=1700000000.5&from=%2B7101&to=200&sig="
        + Config::GeneratedDirectory::recordingSignature("1700000000.5", "+7101", "200");
    QTest::newRow("5 MiB wav") << "rec/out-101-200.wav" << "rec/out-101-200.wav" << 5 * 1024 * 1024
                               << QByteArray("audio/wav") << written;
    QTest::newRow("mp3") << "rec/out.mp3" << "rec/out.mp3" << 70001 << QByteArray("audio/mpeg") << written;
    QTest::newRow("empty file") << "rec/empty.gsm" << "rec/empty.gsm" << 0 << QByteArray("audio/x-gsm") << written;
    QTest::newRow("unknown kind") << "rec/out.raw" << "rec/out.raw" << 1000 << QByteArray("application/octet-stream")
                                  << written;
    QTest::newRow("out of the directory by ..") << "secret.wav" << "rec/../secret.wav" << 10 << QByteArray() << written;
    QTest::newRow("absolute path outside") << "secret.wav" << "secret.wav" << 10 << QByteArray() << written;
    QTest::newRow("link out of the directory") << "secret.wav" << "rec/link.wav" << 10 << QByteArray() << written;
    // Read as text, rec/dir/missing/.. is rec/dir, which the link leads out of.
    QTest::newRow("a link, a missing folder and .. lead out") << "secret.wav" << "rec/dir/missing/../secret.wav" << 10
                                                              << QByteArray() << written;
    // Any other link, though the PBX would find a file for it: no guess opens a recording.
    QTest::newRow("the link with its from changed") << "rec/out.mp3" << "rec/out.mp3" << 10 << QByteArray()
                                                    << QString(written).replace("from=%2B7101", "from=7101");
    QTest::newRow("the link with its id changed") << "rec/out.mp3" << "rec/out.mp3" << 10 << QByteArray()
                                                  << QString(written).replace("id=1700000000.5", "id=1700000000.50");
    QTest::newRow("the link with its signature changed") << "rec/out.mp3" << "rec/out.mp3" << 10 << QByteArray()
                                                         << QString(written).replace("sig=", "sig=0");
    QTest::newRow("the link without its signature") << "rec/out.mp3" << "rec/out.mp3" << 10 << QByteArray()
                                                    << written.left(written.indexOf("&sig="));
}

void tst_GetConversationRecording::streamsTheFile()
{
    QFETCH(QString, name);
    QFETCH(QString, resolved);
    QFETCH(int, size);
    QFETCH(QByteArray, contentType);
    QFETCH(QString, link);

    QByteArray content(size, Qt::Uninitialized);
    for (char &byte : content)
        byte = static_cast<char>(QRandomGenerator::global()->bounded(256));
    m_path = m_dir.filePath(resolved);
    QFile file(m_dir.filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(size));
    file.close();

    const Tests::HttpAnswer answer = m_client->request(link, false);
    if (contentType.isEmpty()) {
        QCOMPARE(answer.status, 404);
        QCOMPARE(answer.json(), QJsonObject({{"error", "Recording not found"}}));
        return;
    }
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.contentType, contentType);
    QCOMPARE(answer.body.size(), size);
    QVERIFY(answer.body == content);
}

QTEST_GUILESS_MAIN(tst_GetConversationRecording)
#include "tst_getconversationrecording.moc"
