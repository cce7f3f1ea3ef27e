#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

namespace Orvix::CRM::Bitrix {

// The dictionaries of the texts the service writes into the CRM (titles, comments, task texts): JSON
// files in one directory, "_en.json" and "_ru.json" built in. Keeps the current one in memory, and
// lists, loads, saves and deletes the files for the web interface. Names come from HTTP clients, so
// only bare file names inside the directory are ever used. Main thread only; held by the Connector
// through a shared pointer, replaced at each of its starts.
class LocalesHandler : public QObject
{
    Q_OBJECT

public:
    // directory: where the dictionaries live; empty means "locales" beside the executable.
    explicit LocalesHandler(const QString &directory = QString());

    QString directory() const { return m_directory; }
    QString currentName() const { return m_currentName; }
    QJsonObject dictionary() const { return m_dictionary; }

    // The current dictionary's text for key; the key itself when it has none.
    QString translate(const QString &key) const;
    // {name up to its first '.': "niceName"} for every file of the directory.
    QJsonObject getLocales() const;
    // Makes the named file current and returns its dictionary, or {"error": "Loading failure"} with the
    // current one kept.
    QJsonObject getLocale(const QString &name);
    // Makes the named dictionary current (".json" added when missing), else the English one.
    void setLocale(const QString &name);
    // Writes the dictionary under name (".json" added when missing; an empty name takes the first free
    // "customN.json") and makes it current. False, with nothing changed, for a built-in or unsafe name
    // or when the file cannot be written.
    bool saveLocale(const QString &name, const QJsonObject &dictionary);
    // Removes a dictionary file; the English one becomes current when it was the current one. False
    // for a built-in or unsafe name or when the removal fails.
    bool deleteLocale(const QString &name);

    static bool isBuiltIn(const QString &name);
    // A bare file name: not empty, no path separator, not hidden, not "." or "..".
    static bool isSafeName(const QString &name);

Q_SIGNALS:
    // The current dictionary's name without ".json".
    void localeChanged(const QString &name);

private:
    bool loadDictionary();
    void loadDefault();
    QString nextCustomName() const;
    QStringList dictionaryFiles() const;
    QString filePath(const QString &name) const;
    void announce();

    QString m_directory;
    QString m_currentName;
    QJsonObject m_dictionary;
};

} // namespace Orvix::CRM::Bitrix
