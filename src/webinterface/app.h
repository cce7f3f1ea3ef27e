#pragma once

#include "utils/promise.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <chrono>

namespace Orvix::WebInterface {

class ConfigPage;

// The web interface of the service: its pages (the /config page) and what they ask of the service.
// The App connects getConfigRequest, getCheckStatusRequest and restartWaitRequest to its answers and
// configChanged to its restart. Main thread; owns its pages.
class App : public QObject
{
    Q_OBJECT

public:
    explicit App(QObject *parent = nullptr);
    ~App() override;

    void setStaticDirectory(const QString &directory);
    void setTimeout(std::chrono::milliseconds timeout);

Q_SIGNALS:
    void configChanged();
    void getConfigRequest(Utils::Promise<QJsonObject> promise);
    void getCheckStatusRequest(Utils::Promise<QJsonObject> promise);
    void restartWaitRequest(Utils::Promise<int> promise);

private:
    ConfigPage *m_configPage;
};

} // namespace Orvix::WebInterface
