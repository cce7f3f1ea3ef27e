#include "crmtestsupport.h"
#include "crm/bitrix/eventjournal.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using Orvix::CRM::Bitrix::EventJournal;
using Orvix::CRM::Bitrix::KeptEvents;
using Kind = KeptEvents::Kind;

namespace {

const QDateTime kAt = QDateTime(QDate(2026, 12, 7), QTime(7, 58, 42), Qt::UTC);

QJsonObject leg(const QString &id)
{
    return QJsonObject{{"id", id}, {"parent_channel_id", "1.1"}};
}

// What is kept, as "sequence kind call row", and "registered" when the event holds a register it sent.
QStringList describe(const QMap<quint64, KeptEvents::Event> &events)
{
    static const QStringList kinds{"started", "requested", "accepted", "ended", "call ended", "transferred"};
    QStringList lines;
    for (const KeptEvents::Event &event : events) {
        lines.append(QStringLiteral("%1 %2 %3 %4%5")
                         .arg(event.sequence)
                         .arg(kinds.at(int(event.kind)), event.callId)
                         .arg(event.row)
                         .arg(event.registered().isEmpty() ? "" : " registered"));
    }
    return lines;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// The kept call events' file as the CRM side finds it at a start, whatever became of the last write, without
// any portal.
class tst_EventJournal : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void reload_data();
    void reload();
    void readAgain_data();
    void readAgain();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
};

void tst_EventJournal::reload_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("kept");
    QTest::addColumn<qint64>("position");

    // A first write makes the file whole; the next appends the done mark of the first event, the register the
    // second sent, a third event and the position, and may be cut anywhere (a full disk, a power cut).
    EventJournal journal;
    journal.useFilePath(path("journal"));
    journal.load();
    journal.add(Kind::CallStarted, "1.1", 10, QJsonObject{{"id", "1.1"}}, kAt);
    journal.add(Kind::ConversationRequested, "1.1", 11, leg("1.2"), kAt);
    QVERIFY(journal.coverUpTo(11));
    const QByteArray whole = readAll(path("journal"));
    journal.drop(1);
    journal.setMember(2, QLatin1String("registered"), QJsonObject{{"params", QJsonObject{{"TYPE", 2}}}});
    journal.add(Kind::CallEnded, "1.1", 12, QJsonObject{{"id", "1.1"}}, kAt);
    QVERIFY(journal.coverUpTo(12));
    const QByteArray appended = readAll(path("journal")).mid(whole.size());
    QCOMPARE(appended.count('\n'), 4);
    // After each line of the append that has all its bytes but its line end, in their order: the done mark, the
    // register, the third event, the position.
    const QList<QStringList> keptAfter{{"1 started 1.1 10", "2 requested 1.1 11"},
                                       {"2 requested 1.1 11"},
                                       {"2 requested 1.1 11 registered"},
                                       {"2 requested 1.1 11 registered", "3 call ended 1.1 12"},
                                       {"2 requested 1.1 11 registered", "3 call ended 1.1 12"}};
    for (int cut = 0; cut < appended.size(); ++cut) {
        const int lines = appended.left(cut + 1).count('\n');
        QTest::newRow(qPrintable(QStringLiteral("the last append cut after %1 of its %2 bytes").arg(cut).arg(appended.size())))
            << whole + appended.left(cut) << keptAfter.at(lines) << qint64(lines == 4 ? 12 : 11);
    }
    QTest::newRow("the last append whole") << whole + appended << keptAfter.last() << qint64(12);

    // Once the done records outweigh the kept ones, a fresh file of the kept ones alone is renamed into place;
    // it keeps their sequences and grows again by appends.
    EventJournal busy;
    busy.useFilePath(path("compacted"));
    busy.load();
    for (int row = 1; row <= 300; ++row)
        busy.add(Kind::CallStarted, QString::number(row), row, QJsonObject{{"id", QString::number(row)}}, kAt);
    QVERIFY(busy.coverUpTo(300));
    for (quint64 sequence = 1; sequence <= 298; ++sequence)
        busy.drop(sequence);
    QVERIFY(busy.write());
    busy.setMember(299, QLatin1String("registered"), QJsonObject{{"params", QJsonObject()}});
    QVERIFY(busy.coverUpTo(301));
    const QByteArray compacted = readAll(path("compacted"));
    QCOMPARE(compacted.count('\n'), 3);
    busy.add(Kind::CallEnded, "299", 302, QJsonObject{{"id", "299"}}, kAt);
    QVERIFY(busy.coverUpTo(302));
    QTest::newRow("written anew after the done events outweighed the kept ones, then appended to")
        << readAll(path("compacted")) << QStringList{"299 started 299 299 registered", "300 started 300 300", "301 call ended 299 302"}
        << qint64(302);

    // The last release wrote one JSON object, its events in an array, numbered here in their order.
    const QJsonObject event{{"kind", "conversation_requested"}, {"call", "1.1"}, {"row", 11},
                            {"at", kAt.toString(Qt::ISODate)}, {"data", leg("1.2")}};
    const QJsonObject registered{{"kind", "call_started"}, {"call", "1.1"}, {"row", 10},
                                 {"at", kAt.toString(Qt::ISODate)}, {"data", QJsonObject{{"id", "1.1"}}},
                                 {"registered", QJsonObject{{"params", QJsonObject()}}}};
    QTest::newRow("the whole-file form of the last release")
        << QJsonDocument(QJsonObject{{"position", 40}, {"events", QJsonArray{registered, event}}}).toJson()
        << QStringList{"1 started 1.1 10 registered", "2 requested 1.1 11"} << qint64(40);
}

void tst_EventJournal::reload()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, kept);
    QFETCH(qint64, position);
    const QString name = path("reload");
    QFile written(name);
    QVERIFY(written.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(written.write(file), file.size());
    written.close();

    qint64 read = -1;
    KeptEvents keptEvents;
    keptEvents.setFilePath(name);
    QCOMPARE(describe(keptEvents.load(&read)), kept);
    QCOMPARE(read, position);

    // Taken up at a start, every event goes again first of its call; a row the file covers is read again.
    EventJournal journal;
    journal.useFilePath(name);
    journal.load();
    QCOMPARE(describe(journal.events()), kept);
    QList<quint64> cut;
    for (const KeptEvents::Event &event : journal.events())
        cut += journal.takeCut(event.callId, 0);
    std::sort(cut.begin(), cut.end());
    QCOMPARE(cut, journal.events().keys());
    QCOMPARE(journal.add(Kind::CallTransferred, "9.9", position, QJsonObject(), kAt), quint64(0));
    // The next write leaves a whole file, which holds what the journal does: nothing is glued to a cut line.
    const quint64 next = journal.add(Kind::CallTransferred, "9.9", position + 1, QJsonObject(), kAt);
    QVERIFY(next > 0);
    QVERIFY(journal.coverUpTo(position + 2));
    QVERIFY(readAll(name).endsWith('\n'));
    QCOMPARE(describe(keptEvents.load(&read)), describe(journal.events()));
    QCOMPARE(read, position + 2);
}

void tst_EventJournal::readAgain_data()
{
    QTest::addColumn<QString>("kind");   // of the event handed over after the start
    QTest::addColumn<QString>("call");
    QTest::addColumn<qint64>("row");
    QTest::addColumn<bool>("handedOverBefore");

    // Before the stop: the rows up to 25 handed over, an event of row 25 kept, and the end of call 2.1 that the
    // PBX lost (no row) kept; the end of call 3.1 the PBX lost was done, its done mark in the file.
    QTest::newRow("a row the file covers") << "call ended" << "1.1" << qint64(20) << true;
    QTest::newRow("the row of a kept event") << "requested" << "1.1" << qint64(25) << true;
    QTest::newRow("another event of that row") << "accepted" << "1.1" << qint64(25) << true;
    QTest::newRow("a new row") << "requested" << "1.1" << qint64(26) << false;
    QTest::newRow("the end of a call the PBX lost, kept, made again from the older state")
        << "call ended" << "2.1" << qint64(0) << true;
    QTest::newRow("the end of a call the PBX lost, done, made again") << "call ended" << "3.1" << qint64(0) << true;
    QTest::newRow("the end of another call the PBX lost") << "call ended" << "4.1" << qint64(0) << false;
}

void tst_EventJournal::readAgain()
{
    QFETCH(QString, kind);
    QFETCH(QString, call);
    QFETCH(qint64, row);
    QFETCH(bool, handedOverBefore);
    const QHash<QString, Kind> kinds{{"requested", Kind::ConversationRequested},
                                     {"accepted", Kind::ConversationAccepted},
                                     {"call ended", Kind::CallEnded}};
    const QString name = path("readagain");
    QFile::remove(name);
    {
        EventJournal before;
        before.useFilePath(name);
        before.load();
        before.add(Kind::CallEnded, "3.1", 0, QJsonObject{{"id", "3.1"}}, kAt);
        QVERIFY(before.write());
        before.drop(1);
        before.add(Kind::ConversationRequested, "1.1", 25, leg("1.2"), kAt);
        before.add(Kind::CallEnded, "2.1", 0, QJsonObject{{"id", "2.1"}}, kAt);
        QVERIFY(before.coverUpTo(20));
    }

    LogCapture log;
    EventJournal journal;
    journal.useFilePath(name);
    journal.load();
    QCOMPARE(journal.add(Kind::ConversationAccepted, "1.1", 18, leg("1.2"), kAt), quint64(0));
    const QJsonObject data = kind == "call ended" ? QJsonObject{{"id", call}} : leg("1.2");
    QCOMPARE(journal.add(kinds.value(kind), call, row, data, kAt) == 0, handedOverBefore);

    // Said once, when the PBX link has passed the rows it read again.
    QVERIFY(journal.coverUpTo(24));
    QCOMPARE(log.matching("were read again and skipped").size(), 0);
    QVERIFY(journal.coverUpTo(25));
    QVERIFY(journal.coverUpTo(30));
    const QString expected = row > 0 && row <= 25 && handedOverBefore
        ? QStringLiteral("2 CEL row(s) up to id %1 were read again and skipped").arg(std::max<qint64>(row, 18))
        : QStringLiteral("1 CEL row(s) up to id 18 were read again and skipped");
    QCOMPARE(log.matching("were read again and skipped").size(), 1);
    QVERIFY2(log.matching("were read again and skipped").first().contains(expected),
             qPrintable(log.matching("were read again and skipped").first()));
}

QTEST_GUILESS_MAIN(tst_EventJournal)
#include "tst_eventjournal.moc"
