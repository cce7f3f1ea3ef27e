#include "utils/msgbuilder.h"

#include <QtTest>

using Orvix::Utils::MsgBuilder;

Q_DECLARE_METATYPE(MsgBuilder::TaskName)
Q_DECLARE_METATYPE(MsgBuilder::ChildTaskName)
Q_DECLARE_METATYPE(MsgBuilder::TaskStatus)

class tst_MsgBuilder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void build_data();
    void build();
    void childTaskOfCopy();
    void unknownValues_data();
    void unknownValues();
};

void tst_MsgBuilder::build_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<MsgBuilder::TaskName>("task");
    QTest::addColumn<MsgBuilder::ChildTaskName>("childTask");
    QTest::addColumn<MsgBuilder::TaskStatus>("status");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("expected");

    QTest::newRow("call start")
        << "1700000000.12" << MsgBuilder::CallStarted << MsgBuilder::CallStartRegister << MsgBuilder::Start
        << "Registering" << "[1700000000.12]\tCall started\tCall start register\tStart\tRegistering";
    QTest::newRow("default builder, empty message")
        << QString() << MsgBuilder::NoTask << MsgBuilder::NoChildTask << MsgBuilder::Ok << QString() << "\t\t\tOK\t";
    QTest::newRow("no id, last texts")
        << QString() << MsgBuilder::SubscribeToEvent << MsgBuilder::WasContactCreated << MsgBuilder::No << "x"
        << "\tSubscribe to event\tWas contact created?\tN\tx";
    QTest::newRow("placeholders in message kept")
        << "5.1" << MsgBuilder::CallEnded << MsgBuilder::NoChildTask << MsgBuilder::Error << "Reason: %1; %2"
        << "[5.1]\tCall ended\t\tError\tReason: %1; %2";
    QTest::newRow("placeholders in id kept")
        << "%1%2" << MsgBuilder::ConversationEnded << MsgBuilder::LeadUpdateFrom2Gis << MsgBuilder::NotCompleted
        << "%5" << "[%1%2]\tConversation ended\tLead update from 2Gis\tNot completed\t%5";
    QTest::newRow("message with tabs and newlines unchanged")
        << "7" << MsgBuilder::CallTransferred << MsgBuilder::RecordingAttach << MsgBuilder::Yes << "a\tb\nc"
        << "[7]\tCall transferred\tRecording attach\tY\ta\tb\nc";
}

void tst_MsgBuilder::build()
{
    QFETCH(QString, id);
    QFETCH(MsgBuilder::TaskName, task);
    QFETCH(MsgBuilder::ChildTaskName, childTask);
    QFETCH(MsgBuilder::TaskStatus, status);
    QFETCH(QString, message);
    QFETCH(QString, expected);
    const MsgBuilder builder = id.isNull() && task == MsgBuilder::NoTask ? MsgBuilder()
                                                                          : MsgBuilder(id, task, childTask);
    QCOMPARE(builder.build(status, message), expected);
}

void tst_MsgBuilder::childTaskOfCopy()
{
    const MsgBuilder original(QStringLiteral("42.0"), MsgBuilder::ConversationAccepted, MsgBuilder::NoChildTask);
    MsgBuilder copy = original;
    copy.setChildTask(MsgBuilder::CallCardShow);
    QCOMPARE(copy.build(MsgBuilder::Completed, QStringLiteral("m")),
             QStringLiteral("[42.0]\tConversation accepted\tCall card show\tCompleted\tm"));
    QCOMPARE(original.build(MsgBuilder::Warning, QStringLiteral("m")),
             QStringLiteral("[42.0]\tConversation accepted\t\tWarning\tm"));
    QCOMPARE(copy.taskText(), QStringLiteral("Conversation accepted"));
}

void tst_MsgBuilder::unknownValues_data()
{
    QTest::addColumn<int>("task");
    QTest::addColumn<int>("childTask");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<QString>("expected");
    QTest::newRow("status 9") << 1 << 0 << 9 << "TaskStatus unknown case" << "[9]\tCall started\t\t\tm";
    QTest::newRow("negative status") << 1 << 0 << -1 << "TaskStatus unknown case" << "[9]\tCall started\t\t\tm";
    QTest::newRow("task 8") << 8 << 1 << 0 << "TaskName unknown case" << "[9]\t\tEntity add\tStart\tm";
    QTest::newRow("child task 31") << 0 << 31 << 6 << "ChildTaskName unknown case" << "[9]\t\t\tY\tm";
}

void tst_MsgBuilder::unknownValues()
{
    QFETCH(int, task);
    QFETCH(int, childTask);
    QFETCH(int, status);
    QFETCH(QString, warning);
    QFETCH(QString, expected);
    const MsgBuilder builder(QStringLiteral("9"), static_cast<MsgBuilder::TaskName>(task),
                             static_cast<MsgBuilder::ChildTaskName>(childTask));
    QTest::ignoreMessage(QtWarningMsg, warning.toLatin1().constData());
    QCOMPARE(builder.build(static_cast<MsgBuilder::TaskStatus>(status), QStringLiteral("m")), expected);
}

QTEST_GUILESS_MAIN(tst_MsgBuilder)
#include "tst_msgbuilder.moc"
