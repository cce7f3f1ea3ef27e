#include "utils/settingshelperobject.h"

#include "utils/settingshelperobject_p.h"

#include <QJsonArray>
#include <QVariant>

#include <climits>
#include <cmath>

namespace Orvix::Utils::Settings {

HelperObject::HelperObject(const QJsonObject &object)
    : m_d(QSharedPointer<HelperPrivate>::create())
    , m_object(object)
{
}

HelperObject::HelperObject(const QJsonObject &object, const QString &key, const HelperObject *parent)
    : m_key(key)
    , m_d(parent ? parent->m_d : QSharedPointer<HelperPrivate>::create())
    , m_object(object)
{
}

HelperObject HelperObject::child(const QString &key) const
{
    QJsonObject object;
    if (contains(key))
        object = m_object.value(key).toObject();
    return HelperObject(object, fullKey(key), this);
}

QString HelperObject::fullKey(const QString &key) const
{
    if (m_key.isEmpty())
        return key;
    return m_key + QLatin1Char('.') + key;
}

bool HelperObject::contains(const QString &key) const
{
    if (m_object.contains(key))
        return true;
    addWarning(fullKey(key), QStringLiteral("Missed element"));
    return false;
}

QMap<QString, QString> HelperObject::errors() const
{
    return m_d->errors;
}

int HelperObject::errorCount() const
{
    return m_d->errors.size();
}

void HelperObject::setApplyMode(bool apply)
{
    m_d->applyMode = apply;
}

bool HelperObject::isCheckOnly() const
{
    return !m_d->applyMode;
}

void HelperObject::addWarning(const QString &key, const QString &text) const
{
    if (isCheckOnly())
        qDebug() << "W:" << key << "-" << text;
}

void HelperObject::addError(const QString &key, const QString &text) const
{
    if (!isCheckOnly())
        return;
    qDebug() << "E:" << key << "-" << text;
    m_d->errors.insert(key, text);
}

QString HelperObject::textOf(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Double:
        // shortest form that reads back: 5038, 1.5
        return QVariant(value.toDouble()).toString();
    default:
        return QString();
    }
}

bool HelperObject::isSecret(const QString &key)
{
    return key.contains(QLatin1String("password"), Qt::CaseInsensitive);
}

QString HelperObject::toString(const QJsonValue &value, const QString &key) const
{
    if (value.isArray() || value.isObject()) {
        addError(key, QStringLiteral("Wrong string format"));
        return QString();
    }
    return textOf(value);
}

double HelperObject::toDouble(const QJsonValue &value, const QString &key) const
{
    switch (value.type()) {
    case QJsonValue::Bool:
        return value.toBool() ? 1 : 0;
    case QJsonValue::Double:
        return value.toDouble();
    case QJsonValue::String:
    case QJsonValue::Null: {
        bool ok = false;
        const double result = value.toString().toLower().toDouble(&ok);
        if (ok)
            return result;
        break;
    }
    default:
        break;
    }
    addError(key, QStringLiteral("Wrong double format"));
    return 0;
}

int HelperObject::toInt(const QJsonValue &value, const QString &key) const
{
    const double number = std::trunc(toDouble(value, key));
    // a text may hold "inf", "nan" or 1e300, which no int can take
    if (!std::isfinite(number) || number < double(INT_MIN) || number > double(INT_MAX)) {
        addError(key, QStringLiteral("Wrong double format"));
        return 0;
    }
    return int(number);
}

bool HelperObject::toBool(const QJsonValue &value, const QString &key) const
{
    switch (value.type()) {
    case QJsonValue::Bool:
        return value.toBool();
    case QJsonValue::Double:
        return value.toDouble() != 0;
    case QJsonValue::String:
    case QJsonValue::Null: {
        const QString text = value.toString().toLower();
        if (text == QLatin1String("1") || text == QLatin1String("true"))
            return true;
        if (text == QLatin1String("0") || text == QLatin1String("false"))
            return false;
        break;
    }
    default:
        break;
    }
    addError(key, QStringLiteral("Wrong bool format"));
    return false;
}

} // namespace Orvix::Utils::Settings
