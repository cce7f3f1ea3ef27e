#pragma once

#include "utils/settingshelperbase.h"

#include <QDebug>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

#include <type_traits>

namespace Orvix::Utils::Settings {

class HelperPrivate;

// A setting's value as the file holds it. T is bool, int, QString, a list of texts (QStringList or
// QList<QString>), QList<int> or QHash<QString, QString>.
template<typename T>
QJsonValue toJsonValue(const T &value)
{
    if constexpr (std::is_same_v<T, QStringList> || std::is_same_v<T, QList<QString>>) {
        return QJsonArray::fromStringList(value);
    } else if constexpr (std::is_same_v<T, QList<int>>) {
        QJsonArray array;
        for (int item : value)
            array.append(item);
        return array;
    } else if constexpr (std::is_same_v<T, QHash<QString, QString>>) {
        QJsonObject object;
        for (auto it = value.cbegin(); it != value.cend(); ++it)
            object.insert(it.key(), it.value());
        return object;
    } else {
        return QJsonValue(value);
    }
}

// A reader positioned on one JSON object of the settings: converts values, records the errors under
// dotted keys and assigns the members only in the assigning pass, so that one wrong value leaves every
// member unchanged. Reading the file at start is lenient where a member allows it (AtStart); every other
// reading is strict. Readers derived from one root share its state. Main thread only.
class HelperObject : public HelperBase
{
public:
    explicit HelperObject(const QJsonObject &object);
    HelperObject(const QJsonObject &object, const QString &key, const HelperObject *parent);

    HelperObject child(const QString &key) const;
    QString fullKey(const QString &key) const;
    bool contains(const QString &key) const { return m_object.contains(key); }
    // The keys of this object and one value, without any check or message.
    QStringList keys() const { return m_object.keys(); }
    QJsonValue value(const QString &key) const { return m_object.value(key); }

    // T is bool, QString or int.
    template<typename T>
    void load(T &member, const QString &key, Validator<T> validator = {}, AtStart atStart = AtStart::Refuse) const
    {
        if (!contains(key))
            return;
        T value = T();
        // On a failed conversion the converter said why; a validator would only judge a stand-in value.
        if (convert(m_object.value(key), fullKey(key), value))
            check(member, std::move(value), fullKey(key), validator, atStart);
    }

    // T is QString or int. Empty texts and null elements are skipped; a list or object inside is refused
    // (dropped, it would leave the list emptied under a success). The validator judges the whole list.
    template<typename T>
    void loadList(QList<T> &member, const QString &key, Validator<QList<T>> validator = {},
                  AtStart atStart = AtStart::Refuse) const
    {
        if (!contains(key))
            return;
        const QJsonValue array = m_object.value(key);
        if (!array.isArray()) {
            addError(fullKey(key), QStringLiteral("Expected a list such as [\"a\", \"b\"]"));
            return;
        }
        QList<T> list;
        bool converted = true;
        for (const QJsonValue &element : array.toArray()) {
            if (!element.isArray() && !element.isObject() && textOf(element).isEmpty())
                continue;
            T value = T();
            converted = convert(element, fullKey(key) + QStringLiteral("[%1]").arg(list.size()), value) && converted;
            list.append(value);
        }
        if (converted)
            check(member, std::move(list), fullKey(key), validator, atStart);
    }

    // T is QString; the validator judges the whole map.
    template<typename T>
    void loadMap(QHash<QString, T> &member, const QString &key, Validator<QHash<QString, T>> validator = {},
                 AtStart atStart = AtStart::Refuse) const
    {
        if (!contains(key))
            return;
        const QJsonValue map = m_object.value(key);
        if (!map.isObject()) {
            addError(fullKey(key), QStringLiteral("Expected an object such as {\"name\": \"text\"}"));
            return;
        }
        QHash<QString, T> hash;
        bool converted = true;
        const QJsonObject object = map.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            T value = T();
            converted = convert(it.value(), fullKey(key) + QLatin1Char('[') + it.key() + QLatin1Char(']'), value)
                && converted;
            hash.insert(it.key(), value);
        }
        if (converted)
            check(member, std::move(hash), fullKey(key), validator, atStart);
    }

    QMap<QString, QString> errors() const;
    int errorCount() const;
    void setApplyMode(bool apply);
    bool isCheckOnly() const;
    // Reading the file at start: AtStart decides what a refused value becomes.
    void setLenient(bool lenient);
    bool isLenient() const;
    // "Section.key: what was made of the value", one per value the lenient reading did not take as it was.
    QStringList corrections() const;

    void addError(const QString &key, const QString &text) const;

private:
    // The value's text without reporting anything: empty for arrays, objects, null and undefined.
    static QString textOf(const QJsonValue &value);

    // Each records the error under key and returns false when the value has no reading of out's type.
    bool convert(const QJsonValue &value, const QString &key, bool &out) const;
    bool convert(const QJsonValue &value, const QString &key, int &out) const;
    bool convert(const QJsonValue &value, const QString &key, QString &out) const;

    void addCorrection(const QString &key, const QString &text) const;

    template<typename T>
    void assign(T &member, T value) const
    {
        if (!isCheckOnly())
            member = std::move(value);
    }

    template<typename T>
    static QString shown(const T &value)
    {
        // As the file writes it, so that the administrator finds it there.
        const QJsonValue json = toJsonValue(value);
        // A document holds no bare value: the one element of a list, without its brackets.
        return QString::fromUtf8(QJsonDocument(QJsonArray{json}).toJson(QJsonDocument::Compact)).mid(1).chopped(1);
    }

    template<typename T>
    void check(T &member, T value, const QString &key, const Validator<T> &validator, AtStart atStart) const
    {
        QString error;
        T meant = value;
        if (validator)
            validator(meant, error);
        if (error.isEmpty()) {
            assign(member, std::move(meant));
        } else if (!isLenient() || atStart == AtStart::Refuse) {
            addError(key, error);
        } else if (atStart == AtStart::Accept) {
            assign(member, std::move(value));
        } else {
            // What the validator read the value as, when that passes by itself; else the member's default. The
            // value is named: the next save of the file puts the default in its place.
            QString again;
            T reread = meant;
            validator(reread, again);
            const bool understood = again.isEmpty() && reread == meant;
            if (!understood && atStart == AtStart::CorrectOrRefuse) {
                addError(key, error);
                return;
            }
            addCorrection(key, understood ? QStringLiteral("%1 is read as %2").arg(shown(value), shown(meant))
                                          : QStringLiteral("%1: %2; the default %3 is used")
                                                .arg(shown(value), error, shown(member)));
            if (understood)
                assign(member, std::move(meant));
        }
    }

    QString m_key;
    QSharedPointer<HelperPrivate> m_d;
    QJsonObject m_object;
};

} // namespace Orvix::Utils::Settings
