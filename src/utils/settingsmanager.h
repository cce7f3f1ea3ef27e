#pragma once

#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>

namespace Orvix::Utils::Settings {

class HelperObject;
class IModuleSettingsManager;

// The settings file and the registry of its sections. Reads the file once, applies JSON objects to the
// sections all or nothing, and rewrites the file atomically as indented JSON. Static only; main thread only.
class Manager
{
public:
    Manager() = delete;

    // The file chosen on the command line; empty selects the default path.
    inline static QString configName;

    static QMap<QString, IModuleSettingsManager *> &managers();
    static void registerManager(IModuleSettingsManager *manager);
    static void unregisterManager(IModuleSettingsManager *manager);

    static QJsonObject moduleToJson(const QString &name);
    static QJsonObject toJson();

    // Empty when a file named by configName does not exist: nothing is then read or written.
    static QString configFilePath();

    // Reads and applies the file leniently (HelperBase::AtStart): a value read otherwise than written is
    // named in a warning line. A file that cannot be parsed or holds a refused value leaves every default
    // in force, says why in loadError (the caller reports it) and is backed up before the first save
    // rewrites it.
    static QJsonObject load();
    // Why the last load could not take an existing file, with the place: "path:line:column: text" for
    // a syntax error, "path: Section.key: text" for a refused value. Empty when it was taken or absent.
    static QString loadError() { return s_loadError; }
    // The top-level object the last load read, also when a value in it was refused; empty otherwise.
    static QJsonObject fileSettings() { return s_fileSettings; }

    // Validates every value first and assigns them only if none is wrong; returns error key -> text.
    // With startCorrections the values are read as the file is at start, and what was read otherwise
    // than written is listed there.
    static QMap<QString, QString> apply(const QJsonObject &settings, QStringList *startCorrections = nullptr);

    // apply, then rewrites the file with the current values. A refused value changes nothing, not even
    // the file; a file that cannot be written puts the previous values back and adds the error
    // "config_file", so the running service never uses what was not saved. A file changed by hand since it
    // was last read or written here is kept as it is unless the save takes each changed value as the file
    // has it: else the previous values are put back and the error kFileChangedKey names the keys.
    static QMap<QString, QString> save(const QJsonObject &settings);
    // The error key of a save refused for a hand edit of the file; the routes answer it with 409.
    inline static const QString kFileChangedKey = QStringLiteral("config_file_changed");

    // Replaces the file by bytes at once, so a reader sees the old file or the new one, never a part. A new
    // file is its owner's alone before a byte is written; one that replaces a file keeps that file's owner,
    // group and permissions, except that a file every user could read is tightened to 0600 with a warning
    // (what is written here holds passwords). error: why it failed.
    static bool writePrivateFile(const QString &path, const QByteArray &bytes, QString *error);

    static void loadModules(HelperObject &root, const QJsonObject &settings);
    static void loadModule(const QString &name, HelperObject &root);

private:
    static bool backUpUnappliedFile(const QString &path);
    static bool writeFile(const QString &path, QString *error);
    // Why a save must leave the file as it is: the keys a hand edit set otherwise than the save would;
    // empty when there is none, or the file was never read or written here.
    static QString handEdits(const QString &path);

    // The file whose content load could not apply: its bytes are kept before it is first rewritten.
    inline static QString s_unappliedPath;
    inline static QString s_loadError;
    inline static QJsonObject s_fileSettings;
    // The file as this process last read or wrote it (no file and an empty one alike).
    inline static QString s_seenPath;
    inline static QByteArray s_seenBytes;
};

} // namespace Orvix::Utils::Settings
