#include "crm/bitrix/rememberedcalls.h"
#include "crm/bitrix/registrationstore.h"
#include "crmtestsupport.h"
#include "entities/clock.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using Orvix::CRM::EntityType;
using Orvix::CRM::Bitrix::CallRegistration;
using Orvix::CRM::Bitrix::RegistrationStore;
using Orvix::CRM::Bitrix::RememberedCalls;
using Orvix::Entities::Clock;

// The click-to-calls remembered for the outgoing call that follows, and the saved registrations that
// outlive a restart: the two per-call records of the CRM side that are not plain tables.
class tst_RememberedCalls : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { Clock::setSource({}); }
    void lifetime_data();
    void lifetime();
    void rememberingAgainReplaces();
    void manyCallsWarnButStay();
    void storeRoundTrip();
    void storeSurvivesBadFiles_data();
    void storeSurvivesBadFiles();

private:
    QDateTime m_now = QDateTime(QDate(2026, 3, 1), QTime(10, 0, 0));
};

void tst_RememberedCalls::lifetime_data()
{
    QTest::addColumn<int>("ageMsec");
    QTest::addColumn<bool>("remembered");
    QTest::newRow("just now") << 0 << true;
    QTest::newRow("60 s") << 60000 << true;
    QTest::newRow("60.9 s counts as 60") << 60900 << true;
    QTest::newRow("61 s") << 61000 << false;
    QTest::newRow("clock went back") << -5000 << true;
}

void tst_RememberedCalls::lifetime()
{
    QFETCH(int, ageMsec);
    QFETCH(bool, remembered);
    QDateTime now = m_now;
    Clock::setSource([&now] { return now; });
    RememberedCalls calls;
    calls.remember("79001112233", {{"CALL_ID", "externalCall.1"}, {"CRM_ENTITY_ID", "5"}});
    now = m_now.addSecs(-3600);
    calls.remember("79004445566", {{"CALL_ID", "externalCall.2"}});
    now = m_now.addMSecs(ageMsec);

    LogCapture log;
    QCOMPARE(calls.has("79001112233"), remembered);
    QCOMPARE(calls.find("79001112233").callId(), remembered ? QString("externalCall.1") : QString());
    QCOMPARE(calls.size(), remembered ? 2 : 1);
    // Only the entry asked about goes, however old the others are.
    QCOMPARE(LogCapture::matching("Old call removed!").size(), remembered ? 0 : 1);
    QCOMPARE(calls.find("79004445566").callId(), QString("externalCall.2"));
    QVERIFY(!calls.has("79007778899"));
    QCOMPARE(calls.find("79007778899").entityId(), 0);
}

void tst_RememberedCalls::rememberingAgainReplaces()
{
    QDateTime now = m_now;
    Clock::setSource([&now] { return now; });
    RememberedCalls calls;
    calls.remember("101", {{"CALL_ID", "externalCall.1"}});
    now = m_now.addSecs(50);
    calls.remember("101", {{"CALL_ID", "externalCall.2"}});
    now = m_now.addSecs(100);
    QVERIFY(calls.has("101"));
    QCOMPARE(calls.find("101").callId(), QString("externalCall.2"));
    QCOMPARE(calls.size(), 1);
}

void tst_RememberedCalls::manyCallsWarnButStay()
{
    LogCapture log;
    RememberedCalls calls;
    for (int i = 0; i < 102; ++i)
        calls.remember(QString::number(1000 + i), {});
    QCOMPARE(LogCapture::matching("More than 100 calls were remembered").size(), 2);
    QCOMPARE(calls.size(), 102);
}

void tst_RememberedCalls::storeRoundTrip()
{
    QTemporaryDir dir;
    RegistrationStore store;
    store.setFilePath(dir.path() + "/generated_x/crm_registrations.json");

    CallRegistration lead({{"CALL_ID", "externalCall.a"},
                           {"CRM_CREATED_LEAD", "31"},
                           {"CRM_ACTIVITY_ID", "7"},
                           {"CRM_ENTITY_ID", "31"},
                           {"CRM_ENTITY_TYPE", "LEAD"}});
    CallRegistration contact({{"CALL_ID", "externalCall.b"}, {"CRM_ENTITY_ID", "12"}, {"CRM_ENTITY_TYPE", "CONTACT"}});
    contact.setDealId(44);
    RegistrationStore::Entries entries;
    entries.insert("1700000000.1", {"1700000000.1", lead, true});
    entries.insert("1700000000.2", {"1700000000.1", lead, true});
    entries.insert("1700000100.5", {"1700000100.4", contact, true});

    QVERIFY(store.save(entries));
    const RegistrationStore::Entries back = store.load();
    QCOMPARE(back, entries);
    QVERIFY(back.value("1700000000.1").registration.isLeadCreated());
    QCOMPARE(back.value("1700000100.5").registration.entityType(), EntityType::Contact);
    QCOMPARE(back.value("1700000100.5").registration.dealId(), 44);

    QVERIFY(store.save({}));
    QVERIFY(store.load().isEmpty());
}

void tst_RememberedCalls::storeSurvivesBadFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("entries");
    QTest::newRow("no file") << QByteArray() << 0;
    QTest::newRow("damaged") << QByteArray("{\"registrations\": [") << 0;
    QTest::newRow("entry without its CRM call is skipped")
        << QByteArray("{\"registrations\": [{\"key\": \"1.1\", \"call\": \"1.1\"},"
                      " {\"key\": \"1.2\", \"call\": \"1.1\", \"CALL_ID\": \"externalCall.z\"}]}")
        << 1;
}

void tst_RememberedCalls::storeSurvivesBadFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(int, entries);
    QTemporaryDir dir;
    RegistrationStore store;
    store.setFilePath(dir.path() + "/crm_registrations.json");
    if (!content.isEmpty()) {
        QFile file(store.filePath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    LogCapture log;
    QCOMPARE(store.load().size(), entries);
}

QTEST_GUILESS_MAIN(tst_RememberedCalls)
#include "tst_rememberedcalls.moc"
