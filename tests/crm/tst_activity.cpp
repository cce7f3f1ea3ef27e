#include "crm/bitrix/activity.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

using Orvix::CRM::Bitrix::Activity;

class tst_Activity : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fullRecord();
    void numbersAreStrings_data();
    void numbersAreStrings();
    void completed_data();
    void completed();
    void communications_data();
    void communications();
};

void tst_Activity::fullRecord()
{
    const Activity activity(QJsonObject{
        {"ID", "31"},
        {"START_TIME", "2026-12-07T10:15:00+03:00"},
        {"END_TIME", "not a time"},
        {"SUBJECT", "Входящий звонок"},
        {"DESCRIPTION", "Запись: http://x/y"},
        {"COMPLETED", "Y"},
        {"OWNER_ID", "5"},
        {"RESPONSIBLE_ID", "1"},
        {"OWNER_TYPE_ID", "3"},
        {"DIRECTION", "1"},
        {"COMMUNICATIONS", QJsonArray{QJsonObject{{"VALUE", "79001112233"}, {"ENTITY_ID", "5"}, {"ENTITY_TYPE_ID", "3"}}}},
    });
    QCOMPARE(activity.id(), 31);
    QCOMPARE(activity.startTime().toUTC(), QDateTime(QDate(2026, 12, 7), QTime(7, 15), Qt::UTC));
    QVERIFY(!activity.endTime().isValid());
    QCOMPARE(activity.subject(), QStringLiteral("Входящий звонок"));
    QCOMPARE(activity.description(), QStringLiteral("Запись: http://x/y"));
    QVERIFY(activity.isCompleted());
    QCOMPARE(activity.ownerId(), 5);
    QCOMPARE(activity.responsibleId(), 1);
    QCOMPARE(activity.ownerTypeId(), 3);
    QCOMPARE(activity.directionId(), 1);
    QCOMPARE(activity.phone(), QStringLiteral("79001112233"));
    QCOMPARE(activity.phoneOwnerId(), 5);
    QCOMPARE(activity.phoneOwnerTypeId(), 3);
}

void tst_Activity::numbersAreStrings_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<int>("id");

    QTest::newRow("string") << QJsonValue("42") << 42;
    QTest::newRow("number is not trusted") << QJsonValue(42) << 0;
    QTest::newRow("text") << QJsonValue("x42") << 0;
    QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << 0;
}

void tst_Activity::numbersAreStrings()
{
    QFETCH(QJsonValue, value);
    QFETCH(int, id);
    QJsonObject json;
    if (!value.isUndefined())
        json.insert("ID", value);
    QCOMPARE(Activity(json).id(), id);
}

void tst_Activity::completed_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<bool>("completed");

    QTest::newRow("Y") << QJsonValue("Y") << true;
    QTest::newRow("lower-case y") << QJsonValue("y") << false;
    QTest::newRow("N") << QJsonValue("N") << false;
    QTest::newRow("boolean") << QJsonValue(true) << false;
}

void tst_Activity::completed()
{
    QFETCH(QJsonValue, value);
    QFETCH(bool, completed);
    QCOMPARE(Activity(QJsonObject{{"COMPLETED", value}}).isCompleted(), completed);
}

void tst_Activity::communications_data()
{
    QTest::addColumn<QJsonValue>("communications");
    QTest::addColumn<QString>("phone");
    QTest::addColumn<int>("ownerId");

    QTest::newRow("first entry only")
        << QJsonValue(QJsonArray{QJsonObject{{"VALUE", "101"}, {"ENTITY_ID", "5"}},
                                 QJsonObject{{"VALUE", "102"}, {"ENTITY_ID", "6"}}})
        << "101" << 5;
    QTest::newRow("empty array") << QJsonValue(QJsonArray()) << "" << 0;
    QTest::newRow("not an array") << QJsonValue("101") << "" << 0;
}

void tst_Activity::communications()
{
    QFETCH(QJsonValue, communications);
    QFETCH(QString, phone);
    QFETCH(int, ownerId);

    const Activity activity(QJsonObject{{"COMMUNICATIONS", communications}});
    QCOMPARE(activity.phone(), phone);
    QCOMPARE(activity.phoneOwnerId(), ownerId);
}

QTEST_GUILESS_MAIN(tst_Activity)
#include "tst_activity.moc"
