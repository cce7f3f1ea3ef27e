#include "pbx/asterisk/statewriter.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using Orvix::PBX::Asterisk::StateWriter;

namespace {

QByteArray fileText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

// The state file writer: the newest text wins, a burst is written twice at most, a flush is on disk
// when it returns, and a file that cannot be written is reported.
class tst_StateWriter : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void newestTextWins_data()
    {
        QTest::addColumn<int>("saves");
        QTest::addColumn<bool>("flushAtOnce");
        QTest::addColumn<int>("threadWrites");
        QTest::newRow("one text") << 1 << false << 1;
        // The first goes to the thread; the others wait, and only the newest of them is written.
        QTest::newRow("a burst while the first is written") << 50 << false << 2;
        // The flush writes the newest text itself; the thread's older one never overwrites it.
        QTest::newRow("flush with a write under way") << 50 << true << 2;
    }

    void newestTextWins()
    {
        QFETCH(int, saves);
        QFETCH(bool, flushAtOnce);
        QFETCH(int, threadWrites);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("deep/generated/state.json"));

        StateWriter writer;
        QSignalSpy written(&writer, &StateWriter::written);
        for (int i = 1; i <= saves; ++i)
            writer.save(path, QByteArray::number(i));
        const QByteArray newest = QByteArray::number(saves);
        if (flushAtOnce) {
            QVERIFY(writer.flush());
            QCOMPARE(fileText(path), newest);
        }
        QTRY_COMPARE(written.count(), flushAtOnce ? 1 : threadWrites);
        QTRY_VERIFY(!writer.isWriting());
        QCOMPARE(fileText(path), newest);
        QVERIFY(!QFile::exists(path + QStringLiteral(".tmp")));
        // The tracked calls hold customers' numbers.
        QVERIFY(!(QFile::permissions(path) & (QFileDevice::ReadGroup | QFileDevice::ReadOther)));
    }

    void unwritableFileIsReported()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QFile blocker(dir.filePath(QStringLiteral("file")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();

        StateWriter writer;
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("Cannot save the PBX state to %1: cannot create the directory %2")
                                            .arg(dir.filePath(QStringLiteral("file/generated/state.json")),
                                                 dir.filePath(QStringLiteral("file/generated")))));
        writer.save(dir.filePath(QStringLiteral("file/generated/state.json")), QByteArray("{}"));
        QVERIFY(!writer.flush());
    }
};

QTEST_GUILESS_MAIN(tst_StateWriter)
#include "tst_statewriter.moc"
