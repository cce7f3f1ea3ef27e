#pragma once

#include "utils/settingshelperbase.h"

#include <QDebug>
#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

namespace Orvix::Utils::Settings {

class HelperPrivate;

// A reader positioned on one JSON object of the settings: converts values leniently, records the errors
// under dotted keys and assigns the members only in the assigning pass, so that one wrong value leaves
// every member unchanged. Readers derived from one root share its state. Main thread only.
class HelperObject : public HelperBase
{
public:
    explicit HelperObject(const QJsonObject &object);
    HelperObject(const QJsonObject &object, const QString &key, const HelperObject *parent);

    HelperObject child(const QString &key) const;
    QString fullKey(const QString &key) const;
    bool contains(const QString &key) const;
    // The keys of this object and one value, without any check or message.
    QStringList keys() const { return m_object.keys(); }
    QJsonValue value(const QString &key) const { return m_object.value(key); }

    // T is bool, QString or int.
    template<typename T>
    void load(T &member, const QString &key, Validator<T> validator = {}) const
    {
        if (!containsOrUseDefault(key, member))
            return;
        const QString elementKey = fullKey(key);
        T value = T();
        const int errorsBefore = errorCount();
        convert(m_object.value(key), elementKey, value);
        if (errorCount() != errorsBefore)
            return; // the converter said why; a validator would only judge its stand-in value
        check(member, std::move(value), elementKey, validator);
    }

    // T is QString or int. Elements without a text form (empty texts, null, arrays, objects) are skipped.
    template<typename T>
    void loadList(QList<T> &member, const QString &key, Validator<T> validator = {}) const
    {
        if (!containsOrUseDefault(key, member))
            return;
        const QJsonValue array = m_object.value(key);
        if (!array.isArray()) {
            addError(key, QStringLiteral("Wrong array format"));
            return;
        }
        QList<T> list;
        int n = 0;
        for (const QJsonValue &element : array.toArray()) {
            if (textOf(element).isEmpty())
                continue;
            const QString elementKey = key + QStringLiteral("[%1]").arg(n++);
            T value = T();
            convert(element, elementKey, value);
            if (validate(value, elementKey, validator) && !isCheckOnly())
                list.append(value);
        }
        if (!isCheckOnly())
            member = list;
    }

    // T is QString.
    template<typename T>
    void loadMap(QHash<QString, T> &member, const QString &key, Validator<T> validator = {}) const
    {
        if (!containsOrUseDefault(key, member))
            return;
        const QJsonValue map = m_object.value(key);
        if (!map.isObject()) {
            addError(key, QStringLiteral("Wrong map format"));
            return;
        }
        QHash<QString, T> hash;
        const QJsonObject object = map.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            const QString elementKey = key + QLatin1Char('[') + it.key() + QLatin1Char(']');
            T value = T();
            convert(it.value(), elementKey, value);
            if (validate(value, elementKey, validator) && !isCheckOnly())
                hash.insert(it.key(), value);
        }
        if (!isCheckOnly())
            member = hash;
    }

    QMap<QString, QString> errors() const;
    int errorCount() const;
    void setApplyMode(bool apply);
    bool isCheckOnly() const;

    void addWarning(const QString &key, const QString &text) const;
    void addError(const QString &key, const QString &text) const;

    QString toString(const QJsonValue &value, const QString &key) const;
    double toDouble(const QJsonValue &value, const QString &key) const;
    int toInt(const QJsonValue &value, const QString &key) const;
    bool toBool(const QJsonValue &value, const QString &key) const;

private:
    // The value's text without reporting anything: empty for arrays, objects, null and undefined.
    static QString textOf(const QJsonValue &value);
    // The debug line never shows a secret, whatever the section calls it.
    static bool isSecret(const QString &key);

    template<typename T>
    bool containsOrUseDefault(const QString &key, const T &member) const
    {
        if (contains(key))
            return true;
        if (isCheckOnly()) {
            QString text;
            if (isSecret(key))
                text = QStringLiteral("***");
            else
                QDebug(&text).nospace() << member;
            addWarning(key, QStringLiteral("Use default value: ") + text);
        }
        return false;
    }

    template<typename T>
    bool validate(T &value, const QString &key, const Validator<T> &validator) const
    {
        if (!validator)
            return true;
        QString error;
        validator(value, error);
        if (error.isEmpty())
            return true;
        addError(key, error);
        return false;
    }

    template<typename T>
    void check(T &member, T value, const QString &key, const Validator<T> &validator) const
    {
        if (validate(value, key, validator) && !isCheckOnly())
            member = std::move(value);
    }

    void convert(const QJsonValue &value, const QString &key, bool &out) const { out = toBool(value, key); }
    void convert(const QJsonValue &value, const QString &key, int &out) const { out = toInt(value, key); }
    void convert(const QJsonValue &value, const QString &key, QString &out) const
    {
        out = toString(value, key);
    }

    QString m_key;
    QSharedPointer<HelperPrivate> m_d;
    QJsonObject m_object;
};

} // namespace Orvix::Utils::Settings
