#include "utils/collection.h"

#include <QtTest>

using Orvix::Utils::Collection;

class tst_Collection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void contains_data();
    void contains();
};

void tst_Collection::contains_data()
{
    QTest::addColumn<QStringList>("strings");
    QTest::addColumn<bool>("caseSensitive");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("expected");

    const QStringList heads{"action", "event", "response"};
    QTest::newRow("insensitive, capitalised") << heads << false << "Action" << true;
    QTest::newRow("insensitive, upper") << heads << false << "EVENT" << true;
    QTest::newRow("insensitive, as given") << heads << false << "response" << true;
    QTest::newRow("insensitive, longer key") << heads << false << "actionid" << false;
    QTest::newRow("insensitive, empty text") << heads << false << QString() << false;
    QTest::newRow("sensitive, as given") << heads << true << "event" << true;
    QTest::newRow("sensitive, other case") << heads << true << "Event" << false;
    QTest::newRow("empty string given") << QStringList{"", "a"} << true << QString() << true;
    QTest::newRow("insensitive, Cyrillic") << QStringList{QStringLiteral("Событие")} << false
                                           << QStringLiteral("СОБЫТИЕ") << true;
    QTest::newRow("insensitive, mixed-case given") << QStringList{"ActionID"} << false << "actionid" << true;
}

void tst_Collection::contains()
{
    QFETCH(QStringList, strings);
    QFETCH(bool, caseSensitive);
    QFETCH(QString, text);
    QFETCH(bool, expected);
    const Collection collection(strings, caseSensitive);
    QCOMPARE(collection.contains(text), expected);
}

QTEST_GUILESS_MAIN(tst_Collection)
#include "tst_collection.moc"
