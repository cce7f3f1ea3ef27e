#pragma once

#include "config/manager.h"
#include "utils/settingsmanager.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QString>

namespace SetupTest {

// Copies the tree below `from` into `to`.
inline bool copyTree(const QString &from, const QString &to)
{
    QDirIterator it(from, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString target = to + source.mid(from.size());
        if (!QDir().mkpath(QFileInfo(target).path()) || !QFile::copy(source, target))
            return false;
        QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    }
    return true;
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A stand-in program: a shell script that appends its arguments, one call a line, to `log` and prints
// `output`; put first on PATH by the test.
inline bool writeProgram(const QString &path, const QString &log, const QByteArray &body)
{
    const QByteArray script = "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + log.toUtf8() + "'\n" + body;
    return writeFile(path, script)
        && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// A fresh configuration read from an empty file at `path`.
inline void freshConfig(const QString &path)
{
    Orvix::Config::Manager::resetForTesting();
    writeFile(path, QByteArray());
    Orvix::Utils::Settings::Manager::configName = path;
    Orvix::Config::Manager::init();
}

} // namespace SetupTest
