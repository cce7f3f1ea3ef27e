#include "webinterface/app.h"

#include "webinterface/configpage.h"

namespace Orvix::WebInterface {

App::App(QObject *parent)
    : QObject(parent)
    , m_configPage(new ConfigPage(this))
{
    connect(m_configPage, &ConfigPage::configChanged, this, &App::configChanged);
    connect(m_configPage, &ConfigPage::getConfigRequest, this, &App::getConfigRequest);
    connect(m_configPage, &ConfigPage::getCheckStatusRequest, this, &App::getCheckStatusRequest);
    connect(m_configPage, &ConfigPage::restartWaitRequest, this, &App::restartWaitRequest);
}

App::~App() = default;

void App::setStaticDirectory(const QString &directory)
{
    m_configPage->setStaticDirectory(directory);
}

void App::setTimeout(std::chrono::milliseconds timeout)
{
    m_configPage->setTimeout(timeout);
}

} // namespace Orvix::WebInterface
