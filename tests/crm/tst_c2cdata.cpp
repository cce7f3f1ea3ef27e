#include "crm/c2cdata.h"

#include <QJsonObject>
#include <QtTest>

class tst_C2CData : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data();
    void parse();
    void nothingSurvivesFromAnEarlierEvent();
};

void tst_C2CData::parse_data()
{
    QTest::addColumn<QJsonObject>("event");
    QTest::addColumn<int>("userId");
    QTest::addColumn<QString>("phone");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("callId");

    QTest::newRow("usual event") << QJsonObject{{"data", QJsonObject{{"USER_ID", "15"},
                                                                     {"PHONE_NUMBER", "79001112233"},
                                                                     {"LINE_NUMBER", "7"},
                                                                     {"CALL_ID", "externalCall.1"}}}}
                                 << 15 << "79001112233" << "7" << "externalCall.1";
    QTest::newRow("only user, phone and line") << QJsonObject{{"data", QJsonObject{{"USER_ID", "15"},
                                                                                   {"PHONE_NUMBER", "101"},
                                                                                   {"LINE_NUMBER", "7"}}}}
                                               << 15 << "101" << "7" << "";
    QTest::newRow("numeric user id") << QJsonObject{{"data", QJsonObject{{"USER_ID", 15}}}} << 0 << "" << "" << "";
    QTest::newRow("user id with letters") << QJsonObject{{"data", QJsonObject{{"USER_ID", "15a"}}}} << 0 << "" << ""
                                          << "";
    QTest::newRow("values outside data") << QJsonObject{{"USER_ID", "15"}, {"PHONE_NUMBER", "101"}} << 0 << "" << ""
                                         << "";
    QTest::newRow("data is no object") << QJsonObject{{"data", "x"}} << 0 << "" << "" << "";
}

void tst_C2CData::parse()
{
    QFETCH(QJsonObject, event);
    QFETCH(int, userId);
    QFETCH(QString, phone);
    QFETCH(QString, line);
    QFETCH(QString, callId);

    Orvix::C2CData record;
    Orvix::parseExternalCallStartEvent(record, event);
    QCOMPARE(record.userId, userId);
    QCOMPARE(record.phoneNumber, phone);
    QCOMPARE(record.lineNumber, line);
    QCOMPARE(record.eventData.keys(), QStringList({"CALL_ID", "CRM_ENTITY_ID", "CRM_ENTITY_TYPE"}));
    QCOMPARE(record.eventData.value("CALL_ID").toString(QStringLiteral("missing")), callId);
}

void tst_C2CData::nothingSurvivesFromAnEarlierEvent()
{
    Orvix::C2CData record;
    Orvix::parseExternalCallStartEvent(
        record, QJsonObject{{"data", QJsonObject{{"USER_ID", "3"}, {"PHONE_NUMBER", "1"}, {"CRM_ENTITY_ID", "9"}}}});
    Orvix::parseExternalCallStartEvent(record, QJsonObject());
    QCOMPARE(record.userId, 0);
    QCOMPARE(record.phoneNumber, QString());
    QCOMPARE(record.eventData.value("CRM_ENTITY_ID").toString(), QString());
}

QTEST_GUILESS_MAIN(tst_C2CData)
#include "tst_c2cdata.moc"
