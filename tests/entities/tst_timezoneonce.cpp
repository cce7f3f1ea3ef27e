#include "entities/clock.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using Orvix::Entities::Clock;

// The zone file named in TZ when TZ is unset: the environment is the process's own, so this runs
// alone in its executable.
class tst_TimeZoneOnce : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void zoneFileNamedOnlyWhenTzIsUnset_data()
    {
        QTest::addColumn<bool>("tzSet");
        QTest::addColumn<bool>("fileExists");
        QTest::addColumn<bool>("named");
        QTest::newRow("unset, file present") << false << true << true;
        QTest::newRow("set by the administrator") << true << true << false;
        QTest::newRow("unset, no zone file (UTC)") << false << false << false;
    }

    void zoneFileNamedOnlyWhenTzIsUnset()
    {
        QFETCH(bool, tzSet);
        QFETCH(bool, fileExists);
        QFETCH(bool, named);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString zoneFile = dir.filePath(QStringLiteral("localtime"));
        if (fileExists) {
            // A zone file of UTC: the header of an empty TZif file is enough for the C library.
            QFile file(zoneFile);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray("TZif2") + QByteArray(15, '\0') + QByteArray(24, '\0'));
        }
        if (tzSet)
            qputenv("TZ", "Europe/Moscow");
        else
            qunsetenv("TZ");

        Clock::readTimeZoneOnce(zoneFile);
        if (named)
            QCOMPARE(qgetenv("TZ"), QByteArray(":") + QFile::encodeName(zoneFile));
        else if (tzSet)
            QCOMPARE(qgetenv("TZ"), QByteArray("Europe/Moscow"));
        else
            QVERIFY(!qEnvironmentVariableIsSet("TZ"));
        qunsetenv("TZ");
    }
};

QTEST_GUILESS_MAIN(tst_TimeZoneOnce)
#include "tst_timezoneonce.moc"
