#include "configsetup/asteriskconfigreader.h"

#include <QDir>
#include <QFile>
#include <QSet>

namespace Orvix::ConfigSetup {

namespace {

// Removes comments from one line. `blockDepth` carries ";-- ... --;" blocks (which nest) across lines.
QString stripComments(const QString &line, int &blockDepth)
{
    QString out;
    out.reserve(line.size());
    const int size = line.size();
    for (int i = 0; i < size; ++i) {
        const QChar c = line.at(i);
        if (blockDepth > 0) {
            if (line.midRef(i, 3) == QLatin1String("--;")) {
                --blockDepth;
                i += 2;
            } else if (line.midRef(i, 3) == QLatin1String(";--")) {
                ++blockDepth;
                i += 2;
            }
            continue;
        }
        if (c == QLatin1Char('\\') && i + 1 < size && line.at(i + 1) == QLatin1Char(';')) {
            out.append(QLatin1Char(';'));
            ++i;
        } else if (c == QLatin1Char(';')) {
            if (line.midRef(i, 3) == QLatin1String(";--")) {
                ++blockDepth;
                i += 2;
            } else {
                break; // the rest of the line is a comment
            }
        } else {
            out.append(c);
        }
    }
    return out;
}

} // namespace

AsteriskConfigReader::AsteriskConfigReader(const QString &rootDirectory)
    : m_root(rootDirectory.isEmpty() ? QStringLiteral("/") : rootDirectory)
{
}

QString AsteriskConfigReader::resolve(const QString &path) const
{
    return QDir::cleanPath(m_root + QLatin1Char('/') + path);
}

bool AsteriskConfigReader::readFile(const QString &path)
{
    QFile file(resolve(path));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const Sections parsed = parse(QString::fromUtf8(file.readAll()));
    for (auto it = parsed.cbegin(); it != parsed.cend(); ++it) {
        Section &merged = m_sections[it.key()];
        for (auto key = it.value().cbegin(); key != it.value().cend(); ++key)
            merged.insert(key.key(), key.value());
    }
    return true;
}

bool AsteriskConfigReader::parseManagerFile(const QString &path)
{
    QFile file(resolve(path));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    Sections users = parse(QString::fromUtf8(file.readAll()));
    users.remove(QStringLiteral("general"));
    m_managerSections = users;
    return true;
}

AsteriskConfigReader::Sections AsteriskConfigReader::parse(const QString &text)
{
    Sections all;
    QSet<QString> templates;
    QString current;
    bool inSection = false;
    int blockDepth = 0;

    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &rawLine : lines) {
        const QString line = stripComments(rawLine, blockDepth).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue; // "#include", "#exec", and odbc.ini's own comments

        if (line.startsWith(QLatin1Char('['))) {
            const int close = line.indexOf(QLatin1Char(']'));
            if (close < 0) {
                inSection = false; // a broken header: its lines belong to no section
                continue;
            }
            current = line.mid(1, close - 1).trimmed();
            inSection = !current.isEmpty();
            if (!inSection)
                continue;

            bool isTemplate = false;
            QStringList parents;
            const QString rest = line.mid(close + 1).trimmed();
            if (rest.startsWith(QLatin1Char('(')) && rest.contains(QLatin1Char(')'))) {
                const QString options = rest.mid(1, rest.indexOf(QLatin1Char(')')) - 1);
                for (const QString &option : options.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
                    const QString name = option.trimmed();
                    if (name == QLatin1String("!"))
                        isTemplate = true;
                    else if (name != QLatin1String("+") && !name.isEmpty())
                        parents.append(name);
                }
            }
            Section &section = all[current];
            for (const QString &parent : qAsConst(parents)) {
                const Section inherited = all.value(parent);
                for (auto it = inherited.cbegin(); it != inherited.cend(); ++it)
                    section.insert(it.key(), it.value());
            }
            if (isTemplate)
                templates.insert(current);
            else
                templates.remove(current);
            continue;
        }

        const int equals = line.indexOf(QLatin1Char('='));
        if (!inSection || equals <= 0)
            continue;
        const QString key = line.left(equals).trimmed().toLower();
        QString value = line.mid(equals + 1);
        if (value.startsWith(QLatin1Char('>')))
            value.remove(0, 1); // "key => value"
        if (!key.isEmpty())
            all[current].insert(key, value.trimmed());
    }

    for (const QString &name : qAsConst(templates))
        all.remove(name);
    return all;
}

} // namespace Orvix::ConfigSetup
