#pragma once

#include <QByteArray>
#include <QString>

namespace Orvix::HttpServer::StaticFiles {

// The content type of a file, by its extension; "application/octet-stream" when unknown.
QByteArray contentType(const QString &path);

// The canonical path of `relative` below `root`, or empty when it does not exist, is not a regular
// file, or lies outside root once links and ".." are resolved.
QString resolve(const QString &root, const QString &relative);

// The canonical path of the regular file `path` when it lies below `root` once links and ".." are
// resolved; empty otherwise (and always for an empty root).
QString within(const QString &root, const QString &path);

} // namespace Orvix::HttpServer::StaticFiles
