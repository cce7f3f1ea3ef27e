#include "utils/settingshelperobject.h"

#include "utils/settingshelperobject_p.h"

#include <QVariant>
#include <QtNumeric>

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

void HelperObject::setLenient(bool lenient)
{
    m_d->lenient = lenient;
}

bool HelperObject::isLenient() const
{
    return m_d->lenient;
}

QStringList HelperObject::corrections() const
{
    return m_d->corrections;
}

void HelperObject::addError(const QString &key, const QString &text) const
{
    if (isCheckOnly())
        m_d->errors.insert(key, text);
}

void HelperObject::addCorrection(const QString &key, const QString &text) const
{
    if (isCheckOnly())
        m_d->corrections.append(key + QStringLiteral(": ") + text);
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

bool HelperObject::convert(const QJsonValue &value, const QString &key, QString &out) const
{
    // An older build read null as an empty text, and files written so keep starting.
    if (value.isArray() || value.isObject() || (value.isNull() && !isLenient())) {
        addError(key, QStringLiteral("Expected a text"));
        return false;
    }
    out = textOf(value);
    return true;
}

bool HelperObject::convert(const QJsonValue &value, const QString &key, int &out) const
{
    double number = qQNaN();
    if (value.isBool()) {
        number = value.toBool() ? 1 : 0;
    } else if (value.isDouble()) {
        number = value.toDouble();
    } else if (value.isString()) {
        bool ok = false;
        const double parsed = value.toString().toDouble(&ok);
        if (ok)
            number = parsed;
    }
    // A text may hold "inf" or 1e300, which no int can take; and 5038.5 is no port, nor 5038.
    if (!std::isfinite(number) || number != std::trunc(number) || number < double(INT_MIN)
        || number > double(INT_MAX)) {
        addError(key, QStringLiteral("Expected a whole number"));
        return false;
    }
    out = int(number);
    return true;
}

bool HelperObject::convert(const QJsonValue &value, const QString &key, bool &out) const
{
    const QString text = value.isString() ? value.toString().toLower() : QString();
    if (value.isBool()) {
        out = value.toBool();
    } else if (value.isDouble()) {
        out = value.toDouble() != 0;
    } else if (text == QLatin1String("1") || text == QLatin1String("true")) {
        out = true;
    } else if (text == QLatin1String("0") || text == QLatin1String("false")) {
        out = false;
    } else {
        addError(key, QStringLiteral("Expected true or false"));
        return false;
    }
    return true;
}

} // namespace Orvix::Utils::Settings
