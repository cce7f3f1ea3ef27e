#include "mariadbserver.h"

#include "support/mariadbfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

namespace Orvix::Tests {

namespace {

constexpr int kScriptTimeoutMs = 120000;

} // namespace

MariaDbServer::MariaDbServer()
{
    const QString parent = QDir::cleanPath(MariaDbFixture::sharedDirectory() + QStringLiteral("/../mariadb-private"));
    QDir().mkpath(parent);
    QTemporaryDir directory(QDir(parent).filePath(QStringLiteral("server-XXXXXX")));
    // The script owns the folder from now on and removes it on stop.
    directory.setAutoRemove(false);
    if (directory.isValid())
        m_directory = QDir::cleanPath(directory.path());
    else
        m_error = QStringLiteral("cannot create a folder for a private MariaDB server below %1").arg(parent);
}

MariaDbServer::~MariaDbServer()
{
    if (!m_directory.isEmpty())
        runScript(QStringLiteral("stop"));
}

bool MariaDbServer::start()
{
    if (m_directory.isEmpty())
        return false;
    if (!runScript(QStringLiteral("start")))
        return false;
    m_settings = MariaDbSettings::fromFile(QDir(m_directory).filePath(QStringLiteral("mariadb.env")));
    if (!m_settings.isValid()) {
        m_error = m_settings.error;
        return false;
    }
    m_running = true;
    return true;
}

bool MariaDbServer::halt()
{
    if (m_directory.isEmpty())
        return false;
    const bool ok = runScript(QStringLiteral("halt"));
    if (ok)
        m_running = false;
    return ok;
}

bool MariaDbServer::runScript(const QString &action)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    QStringList arguments{MariaDbFixture::scriptPath(), action, m_directory};
    if (action == QLatin1String("start"))
        arguments << QString::number(QCoreApplication::applicationPid());
    process.start(QStringLiteral("bash"), arguments);
    if (!process.waitForFinished(kScriptTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        m_output = QString::fromUtf8(process.readAll());
        m_error = QStringLiteral("mariadb-fixture.sh %1 did not finish: %2").arg(action, m_output);
        return false;
    }
    m_output = QString::fromUtf8(process.readAll());
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_error = QStringLiteral("mariadb-fixture.sh %1 failed: %2").arg(action, m_output);
        return false;
    }
    return true;
}

} // namespace Orvix::Tests
