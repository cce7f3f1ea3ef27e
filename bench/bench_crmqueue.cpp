// The CRM request queue against a local fake portal run as a child process (so that the figures are the
// service's own): calls per minute registered, shown and finished when the portal takes 100 ms per answer
// and holds one request in ten for 15 s; and, with --uploads, sixteen owed recordings of 6 MB sent while a
// new call is registered: the peak RSS and how long that register took.
//
//   bench_crmqueue [--seconds 180] [--calls 8] [--interval 500]
//   bench_crmqueue --uploads [--files 16] [--megabytes 6]

#include "crm/bitrix/connector.h"
#include "crm/bitrix/constants.h"
#include "httpclient/httpclient.h"
#include "support/fakecrmserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

using Orvix::CRM::Bitrix::Connector;
using Orvix::HttpClient::Request;
using Orvix::Tests::FakeCrmReply;
using Orvix::Tests::FakeCrmServer;
using Orvix::Utils::MsgBuilder;

namespace {

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

// Peak and current resident set of this process, in MB, from /proc/self/status.
double statusMegabytes(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return -1;
}

// The fake portal: every REST answer after answerMsec, every heldEvery-th request held for heldMsec.
int runPortal(int answerMsec, int heldEvery, int heldMsec)
{
    FakeCrmServer portal;
    if (!portal.isListening())
        return 1;
    int count = 0;
    const auto answer = [&count, answerMsec, heldEvery, heldMsec](const QJsonValue &result) {
        const bool held = heldEvery > 0 && ++count % heldEvery == 0;
        return FakeCrmReply::result(result).delayed(held ? heldMsec : answerMsec);
    };
    int calls = 0;
    portal.setRestHandler("telephony.externalcall.register", [&](const QJsonObject &) {
        return answer(QJsonObject{{"CALL_ID", QStringLiteral("externalCall.%1").arg(++calls)}});
    });
    for (const char *method : {"telephony.externalcall.show", "telephony.externalcall.finish"})
        portal.setRestHandler(method, [&](const QJsonObject &) { return answer(true); });
    portal.setRestHandler("telephony.externalcall.attachRecord", [answerMsec](const QJsonObject &) {
        return FakeCrmReply::result(QJsonObject{{"FILE_ID", "1"}}).delayed(answerMsec);
    });
    // Recordings are megabytes each: the portal keeps none of what it received.
    QObject::connect(&portal, &FakeCrmServer::requestReceived, &portal, [&portal] { portal.clearRequests(); });
    out() << "port " << portal.port() << Qt::endl;
    return QCoreApplication::exec();
}

// Starts this program as the portal and returns its base URL, empty when it did not start.
QString startPortal(QProcess &child, int answerMsec, int heldEvery, int heldMsec)
{
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--portal"), QStringLiteral("--answer"), QString::number(answerMsec),
                 QStringLiteral("--held-every"), QString::number(heldEvery), QStringLiteral("--held"),
                 QString::number(heldMsec)});
    if (!child.waitForStarted(10000))
        return QString();
    while (child.waitForReadyRead(10000)) {
        const QByteArray line = child.readLine().trimmed();
        if (line.startsWith("port "))
            return QStringLiteral("http://127.0.0.1:%1").arg(QString::fromLatin1(line.mid(5)));
    }
    return QString();
}

void startConnector(Connector &connector, const QString &portal, const QString &tokenDirectory, int interval)
{
    qputenv(Orvix::CRM::Bitrix::kTokenUrlVariable, (portal + QStringLiteral("/oauth/token/")).toUtf8());
    connector.setTokenBaseDirectory(tokenDirectory);
    connector.start(portal, 1, QStringLiteral("admin"), QStringLiteral("secret"), QStringLiteral("_bench"),
                    QStringLiteral("en"), true, interval, 0);
}

// Keeps calls going, each registered, shown and finished in turn, until stopped. The callbacks reach it
// through a guard: requests still open when the run ends settle while the client goes, after it.
class CallLoad : public QObject
{
public:
    CallLoad(const QString &portal, const QString &tokenDirectory, int interval)
        : m_connector(this, QSharedPointer<Orvix::HttpClient::HttpClient>::create())
    {
        startConnector(m_connector, portal, tokenDirectory, interval);
        m_clock.start();
    }

    void startCall()
    {
        if (m_stopped)
            return;
        const MsgBuilder msg(QStringLiteral("1700000000.%1").arg(++m_started), MsgBuilder::CallStarted,
                             MsgBuilder::NoChildTask);
        const QPointer<CallLoad> self(this);
        const auto done = [self](bool ok) {
            if (!self)
                return;
            ++(ok ? self->m_finished : self->m_failed);
            self->startCall();
        };
        m_connector
            .run(QStringLiteral("telephony.externalcall.register"), QJsonObject{{"PHONE_NUMBER", "74951234567"}},
                 Request::Post, msg)
            .onResolve([self, msg, done](const QJsonValue &value) {
                if (!self)
                    return;
                const QString call = value.toObject().value(QStringLiteral("CALL_ID")).toString();
                self->m_connector.run(QStringLiteral("telephony.externalcall.show"),
                                      QJsonObject{{"CALL_ID", call}, {"USER_ID", 7}}, Request::Get, msg);
                self->m_connector
                    .run(QStringLiteral("telephony.externalcall.finish"),
                         QJsonObject{{"CALL_ID", call}, {"USER_ID", 7}, {"DURATION", 30}}, Request::Get, msg)
                    .onResolve([done](const QJsonValue &) { done(true); })
                    .onReject([done]() { done(false); });
            })
            .onReject([done]() { done(false); });
    }

    QString stop()
    {
        m_stopped = true;
        const double minutes = m_clock.elapsed() / 60000.0;
        return QStringLiteral("%1 in %2 min, %3 calls/min (%4 failed)")
            .arg(m_finished)
            .arg(minutes, 0, 'f', 2)
            .arg(m_finished / minutes, 0, 'f', 1)
            .arg(m_failed);
    }

private:
    Connector m_connector;
    QElapsedTimer m_clock;
    int m_started = 0;
    int m_finished = 0;
    int m_failed = 0;
    bool m_stopped = false;
};

void runCalls(const QString &portal, int seconds, int parallel, int interval)
{
    QTemporaryDir dir;
    CallLoad load(portal, dir.path(), interval);
    for (int i = 0; i < parallel; ++i)
        load.startCall();
    QTimer::singleShot(seconds * 1000, QCoreApplication::instance(), &QCoreApplication::quit);
    QCoreApplication::exec();
    out() << "calls registered and finished: " << load.stop() << ", " << parallel << " calls at a time, "
          << interval << " ms pace" << Qt::endl;
}

// Sixteen owed recordings at once, then a new call's register while they go.
void runUploads(const QString &portal, int files, int megabytes)
{
    QTemporaryDir dir;
    QByteArray content(megabytes * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator generator(7);
    generator.fillRange(reinterpret_cast<quint32 *>(content.data()), content.size() / 4);
    for (int i = 0; i < files; ++i) {
        QFile file(dir.filePath(QStringLiteral("owed%1.wav").arg(i)));
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            return;
    }
    content.clear();
    content.squeeze();

    auto client = QSharedPointer<Orvix::HttpClient::HttpClient>::create();
    Connector connector(nullptr, client);
    startConnector(connector, portal, dir.path(), 500);
    const double before = statusMegabytes("VmRSS:");
    QElapsedTimer clock;
    clock.start();
    int attached = 0;
    qint64 registeredAfter = -1;
    // Ends once every upload and the register are through (or an upload failed).
    const auto quitWhenDone = [&attached, &registeredAfter, files]() {
        if (attached == files && registeredAfter >= 0)
            QCoreApplication::quit();
    };
    for (int i = 0; i < files; ++i) {
        const MsgBuilder msg(QStringLiteral("1600000000.%1").arg(i), MsgBuilder::CallEnded,
                             MsgBuilder::RecordingAttach);
        connector.attachRecording(QStringLiteral("externalCall.owed%1").arg(i),
                                  dir.filePath(QStringLiteral("owed%1.wav").arg(i)), msg)
            .onResolve([&attached, quitWhenDone]() {
                ++attached;
                quitWhenDone();
            })
            .onReject([](const Orvix::CRM::Bitrix::RequestFailure &) { QCoreApplication::quit(); });
    }
    QTimer::singleShot(1000, QCoreApplication::instance(), [&]() {
        const qint64 asked = clock.elapsed();
        connector
            .run(QStringLiteral("telephony.externalcall.register"), QJsonObject{{"PHONE_NUMBER", "74951234567"}},
                 Request::Post, MsgBuilder(QStringLiteral("1700000000.1"), MsgBuilder::CallStarted,
                                           MsgBuilder::NoChildTask))
            .onResolve([&, asked](const QJsonValue &) {
                registeredAfter = clock.elapsed() - asked;
                quitWhenDone();
            });
    });
    QCoreApplication::exec();
    out() << files << " uploads of " << megabytes << " MB: " << attached << " attached in "
          << QString::number(clock.elapsed() / 1000.0, 'f', 1) << " s; RSS " << QString::number(before, 'f', 0)
          << " MB before, peak " << QString::number(statusMegabytes("VmHWM:"), 'f', 0)
          << " MB; a new call registered " << registeredAfter << " ms after it started" << Qt::endl;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {}); // the figures only
    QCommandLineParser parser;
    const auto option = [](const char *name, const char *description, const char *value = nullptr,
                           const char *byDefault = nullptr) {
        return value ? QCommandLineOption(QLatin1String(name), QLatin1String(description), QLatin1String(value),
                                          QLatin1String(byDefault))
                     : QCommandLineOption(QLatin1String(name), QLatin1String(description));
    };
    parser.addOptions({option("portal", "Run as the fake portal."),
                       option("answer", "Answer time, ms.", "ms", "100"),
                       option("held-every", "Hold every n-th request.", "n", "10"),
                       option("held", "How long a held request waits, ms.", "ms", "15000"),
                       option("seconds", "Length of the run.", "s", "180"),
                       option("calls", "Calls going at a time.", "n", "8"),
                       option("interval", "execution_loop_interval_msec.", "ms", "500"),
                       option("uploads", "Owed recordings while a call registers."),
                       option("files", "Owed recordings.", "n", "16"),
                       option("megabytes", "Size of each.", "MB", "6")});
    parser.process(app);
    const auto number = [&parser](const char *name) { return parser.value(QLatin1String(name)).toInt(); };
    if (parser.isSet(QStringLiteral("portal")))
        return runPortal(number("answer"), number("held-every"), number("held"));

    const bool uploads = parser.isSet(QStringLiteral("uploads"));
    QProcess child;
    const QString portal = uploads ? startPortal(child, number("answer"), 0, 0)
                                   : startPortal(child, number("answer"), number("held-every"), number("held"));
    if (portal.isEmpty()) {
        out() << "the fake portal did not start" << Qt::endl;
        return 1;
    }
    if (uploads)
        runUploads(portal, number("files"), number("megabytes"));
    else
        runCalls(portal, number("seconds"), number("calls"), number("interval"));
    child.kill();
    child.waitForFinished();
    return 0;
}
