#include "staticfiles.h"

#include "utils/confinedpath.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>

namespace Orvix::HttpServer::StaticFiles {

QByteArray contentType(const QString &path)
{
    static const QHash<QString, QByteArray> types = {
        {QStringLiteral("html"), QByteArrayLiteral("text/html; charset=utf-8")},
        {QStringLiteral("htm"), QByteArrayLiteral("text/html; charset=utf-8")},
        {QStringLiteral("css"), QByteArrayLiteral("text/css; charset=utf-8")},
        {QStringLiteral("js"), QByteArrayLiteral("application/javascript; charset=utf-8")},
        {QStringLiteral("json"), QByteArrayLiteral("application/json")},
        {QStringLiteral("txt"), QByteArrayLiteral("text/plain; charset=utf-8")},
        {QStringLiteral("log"), QByteArrayLiteral("text/plain; charset=utf-8")},
        {QStringLiteral("xml"), QByteArrayLiteral("application/xml")},
        {QStringLiteral("svg"), QByteArrayLiteral("image/svg+xml")},
        {QStringLiteral("png"), QByteArrayLiteral("image/png")},
        {QStringLiteral("jpg"), QByteArrayLiteral("image/jpeg")},
        {QStringLiteral("jpeg"), QByteArrayLiteral("image/jpeg")},
        {QStringLiteral("gif"), QByteArrayLiteral("image/gif")},
        {QStringLiteral("ico"), QByteArrayLiteral("image/x-icon")},
        {QStringLiteral("webp"), QByteArrayLiteral("image/webp")},
        {QStringLiteral("woff"), QByteArrayLiteral("font/woff")},
        {QStringLiteral("woff2"), QByteArrayLiteral("font/woff2")},
        {QStringLiteral("ttf"), QByteArrayLiteral("font/ttf")},
        {QStringLiteral("map"), QByteArrayLiteral("application/json")},
        {QStringLiteral("wav"), QByteArrayLiteral("audio/wav")},
        {QStringLiteral("mp3"), QByteArrayLiteral("audio/mpeg")},
        {QStringLiteral("ogg"), QByteArrayLiteral("audio/ogg")},
        {QStringLiteral("gsm"), QByteArrayLiteral("audio/x-gsm")},
    };
    return types.value(QFileInfo(path).suffix().toLower(), QByteArrayLiteral("application/octet-stream"));
}

QString resolve(const QString &root, const QString &relative)
{
    if (relative.contains(QChar(0)))
        return QString();
    return within(root, QDir(root).filePath(relative));
}

QString within(const QString &root, const QString &path)
{
    const QString file = Utils::confinedPath(root, path);
    return !file.isEmpty() && QFileInfo(file).isFile() ? file : QString();
}

} // namespace Orvix::HttpServer::StaticFiles
