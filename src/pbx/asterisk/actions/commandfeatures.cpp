#include "pbx/asterisk/actions/commandfeatures.h"

#include "pbx/asterisk/actions/commandfeatures_p.h"

#include <QDebug>
#include <QSet>

namespace Orvix::PBX::Asterisk::Actions {

void CommandFeaturesPrivate::finish()
{
    qDebug().noquote() << "Asterisk replied on features request";
    // Table headers, rules and lines that hold no single-word feature.
    static const QSet<QString> skipped{
        QStringLiteral("Builtin"), QStringLiteral("---------------"), QStringLiteral("Dynamic"),
        QStringLiteral("Feature"), QStringLiteral("One"),             QStringLiteral("(none)"),
        QStringLiteral("Message"), QStringLiteral("Response"),        QStringLiteral("Park"),
    };
    QHash<QString, QString> table;
    for (const Message &response : qAsConst(responses)) {
        const QMap<QString, QString> fields = response.fields();
        for (auto it = fields.cbegin(); it != fields.cend(); ++it) {
            if (it.key().isEmpty() || skipped.contains(it.key()))
                continue;
            const QString code = it.value().split(QLatin1Char(' ')).last();
            if (!code.isEmpty())
                table.insert(it.key(), code);
        }
    }
    features.resolve(table);
    result.resolve();
}

CommandFeatures::CommandFeatures()
    : CommandFeatures(Message(QStringLiteral("Command"), Message::Action)
                          .insert(QStringLiteral("Command"), QStringLiteral("features show")))
{
}

CommandFeatures::CommandFeatures(const Message &request)
    : Generic(QSharedPointer<GenericPrivate>(new CommandFeaturesPrivate(request)))
{
}

void CommandFeatures::onSuccess(std::function<void(QHash<QString, QString>)> callback)
{
    static_cast<CommandFeaturesPrivate *>(d.data())->features.onResolve(std::move(callback));
}

} // namespace Orvix::PBX::Asterisk::Actions
