#include "entities/clock.h"
#include "pbx/asterisk/channel.h"

#include <QJsonObject>
#include <QTest>

using Orvix::Entities::Clock;
using Orvix::PBX::Asterisk::Channel;

class tst_Channel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { Clock::setSource({}); }

    void serviceExtension_data();
    void serviceExtension();
    void primary();
    void stateTimes();
    void isLocal_data();
    void isLocal();
    void minutesSinceEnded();
    void numberFromName_data();
    void numberFromName();
    void jsonRoundTrip();
    void defaultJson();
    void jsonKeepsStoredPrimaryFlag();
    void dump();
};

void tst_Channel::serviceExtension_data()
{
    QTest::addColumn<QString>("extension");
    QTest::addColumn<QString>("stored");

    for (const char *service : {"a", "h", "i", "o", "s", "t", "T", "e", "failed", "fax", "talk"})
        QTest::newRow(service) << service << "";
    QTest::newRow("capital S is a number") << "S" << "S";
    QTest::newRow("pickup code") << "*8" << "*8";
    QTest::newRow("extension") << "101" << "101";
    QTest::newRow("Failed") << "Failed" << "Failed";
}

void tst_Channel::serviceExtension()
{
    QFETCH(QString, extension);
    QFETCH(QString, stored);

    QCOMPARE(Channel("1.1", "1.0", "101", extension, "SIP/101-1").extension(), stored);
}

void tst_Channel::primary()
{
    Channel channel("1.0", "1.0", "101", "102", "SIP/101-1");
    QVERIFY(channel.isPrimary());
    channel.setParentId("2.0");
    QVERIFY(!channel.isPrimary());
    QCOMPARE(channel.parentId(), QString("2.0"));
    channel.setParentId("1.0");
    QVERIFY(channel.isPrimary());
    QVERIFY(!Channel("1.1", "1.0", "101", "102", "SIP/101-1").isPrimary());
}

void tst_Channel::stateTimes()
{
    const QDateTime t1(QDate(2024, 3, 1), QTime(10, 0, 0));
    const QDateTime t2 = t1.addSecs(10);
    const QDateTime t3 = t1.addSecs(20);
    Channel channel("1.1", "1.0", "101", "", "SIP/101-1");
    QCOMPARE(channel.state(), int(Channel::Unknown));

    channel.setState(Channel::Started, t1);
    channel.setState(Channel::Started, t2);
    QCOMPARE(channel.startedAt(), t1);

    channel.setState(Channel::Ended, t2);
    channel.setState(Channel::Ended, t3);
    QCOMPARE(channel.endedAt(), t2);

    // Going back is accepted and moves the start, the end stays.
    channel.setState(Channel::Started, t3);
    QVERIFY(channel.isState(Channel::Started));
    QCOMPARE(channel.startedAt(), t3);
    QCOMPARE(channel.endedAt(), t2);

    channel.setState(7, t1);
    QCOMPARE(channel.state(), 7);
    QCOMPARE(channel.startedAt(), t3);
    QCOMPARE(Channel::stateToString(7), QString("unknown"));
    QCOMPARE(Channel::stateToString(2), QString("ended"));
}

void tst_Channel::isLocal_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("local");

    QTest::newRow("Local/") << "Local/101@from-internal-00000001;1" << true;
    QTest::newRow("LOCAL/") << "LOCAL/101@from-internal-00000001;2" << true;
    QTest::newRow("local/") << "local/101@x;1" << true;
    QTest::newRow("prefix not at the start") << "SIP/Local-01" << false;
    QTest::newRow("no slash") << "Local" << false;
    QTest::newRow("SIP") << "SIP/101-00000001" << false;
}

void tst_Channel::isLocal()
{
    QFETCH(QString, name);
    QFETCH(bool, local);

    QCOMPARE(Channel("1.1", "1.0", "", "", name).isLocal(), local);
}

void tst_Channel::minutesSinceEnded()
{
    const QDateTime end(QDate(2024, 3, 1), QTime(10, 0, 0));
    Channel channel("1.1", "1.0", "101", "", "SIP/101-1");
    Clock::setSource([=] { return end.addSecs(90); });
    QCOMPARE(channel.minutesSinceEnded(), 0.0f);

    channel.setState(Channel::Ended, end);
    QCOMPARE(channel.minutesSinceEnded(), 1.5f);
    // Whole seconds only.
    Clock::setSource([=] { return end.addMSecs(1799999); });
    QVERIFY(channel.minutesSinceEnded() < 30.0f);
    Clock::setSource([=] { return end.addSecs(1800); });
    QCOMPARE(channel.minutesSinceEnded(), 30.0f);
}

void tst_Channel::numberFromName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("number");

    QTest::newRow("SIP") << "SIP/101-0000001a" << "101";
    QTest::newRow("PJSIP") << "PJSIP/2045-000000b1" << "2045";
    QTest::newRow("IAX2") << "IAX2/103-7559" << "103";
    QTest::newRow("peer name") << "SIP/trunk-0000001b" << "";
    QTest::newRow("DAHDI port") << "DAHDI/17-1" << "";
    QTest::newRow("no slash: last character left out") << "101" << "10";
    QTest::newRow("only digits after the slash") << "SIP/101" << "101";
    QTest::newRow("non-ASCII decimal digits") << QString::fromUtf8("SIP/١٠١-1") << QString::fromUtf8("١٠١");
    QTest::newRow("empty") << "" << "";
}

void tst_Channel::numberFromName()
{
    QFETCH(QString, name);
    QFETCH(QString, number);

    QCOMPARE(Channel("1.1", "1.0", "", "", name).numberFromName(), number);
}

void tst_Channel::jsonRoundTrip()
{
    Channel channel("1.1", "1.0", "101", "102", "SIP/101-1");
    channel.setState(Channel::Started, QDateTime(QDate(2024, 3, 1), QTime(10, 0, 0)));
    channel.setState(Channel::Ended, QDateTime(QDate(2024, 3, 1), QTime(10, 5, 0)));
    const QJsonObject json = channel.toJson();
    QCOMPARE(json.value("started_at").toString(), QString("2024-03-01 10:00:00"));
    QCOMPARE(json.value("ended_at").toString(), QString("2024-03-01 10:05:00"));
    QCOMPARE(json.value("state").toInt(), 2);
    QCOMPARE(json.value("state_code").toString(), QString("ended"));
    QCOMPARE(json.value("is_primary").toBool(), false);
    QCOMPARE(Channel(json), channel);
}

void tst_Channel::defaultJson()
{
    const QJsonObject json = Channel().toJson();
    QCOMPARE(json.size(), 10);
    for (const char *key : {"id", "parent_id", "caller", "extension", "name"})
        QCOMPARE(json.value(key), QJsonValue(""));
    QCOMPARE(json.value("is_primary"), QJsonValue(false));
    QCOMPARE(json.value("state"), QJsonValue(0));
    QCOMPARE(json.value("state_code"), QJsonValue("unknown"));
    QVERIFY(json.value("started_at").isNull());
    QVERIFY(json.value("ended_at").isNull());
    QCOMPARE(Channel(json), Channel());
}

void tst_Channel::jsonKeepsStoredPrimaryFlag()
{
    const Channel channel(QJsonObject{{"id", "1.1"}, {"parent_id", "1.0"}, {"is_primary", true},
                                      {"extension", "s"}, {"state", "x"}, {"started_at", "junk"}});
    QVERIFY(channel.isPrimary());
    // Stored values are taken as they are: no service-extension rule on the way back.
    QCOMPARE(channel.extension(), QString("s"));
    QCOMPARE(channel.state(), 0);
    QVERIFY(!channel.startedAt().isValid());
}

void tst_Channel::dump()
{
    Channel channel("1.1", "1.0", "101", "", "SIP/101-1");
    channel.setState(Channel::Started, QDateTime(QDate(2024, 3, 1), QTime(10, 0, 0)));
    const QString text = channel.dump(1);
    const QString prefix = "\t\t|- ";
    QCOMPARE(text.section('\n', 0, 0), QString("\t1.1"));
    QStringList fields;
    for (const QString &line : text.split('\n', Qt::SkipEmptyParts).mid(1))
        fields << line.mid(prefix.size()).section(':', 0, 0);
    QCOMPARE(fields, (QStringList{"caller", "ended_at", "extension", "id", "is_primary", "name",
                                  "parent_id", "started_at", "state"}));
    QVERIFY(text.contains(prefix + "is_primary: N\n"));
    QVERIFY(text.contains(prefix + "ended_at: \n"));
}

QTEST_GUILESS_MAIN(tst_Channel)
#include "tst_channel.moc"
