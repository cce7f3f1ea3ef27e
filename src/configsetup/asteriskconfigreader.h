#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

namespace Orvix::ConfigSetup {

// Reads configuration files written in Asterisk's syntax (also unixODBC's odbc.ini, which shares it):
// "[name]" sections, optionally "[name](!)" templates and "[name](tmpl,...)" sections that inherit
// from them, "key = value" or "key => value" lines, ";" comments, "\;" for a literal semicolon,
// ";-- ... --;" block comments. "#include" and "#exec" lines are skipped: the service reads only the
// files it names. Every file read is merged into one map: a section seen again (in the same or a later
// file) gets the new keys added and repeated keys replaced. Keys are kept in lower case, as Asterisk
// and unixODBC compare them without regard to case; section names are kept as written.
// Paths are taken below a root directory ("/" in the service, a temporary tree in tests).
// Plain value type; not thread-safe.
class AsteriskConfigReader
{
public:
    using Section = QMap<QString, QString>;
    using Sections = QMap<QString, Section>;

    explicit AsteriskConfigReader(const QString &rootDirectory = QStringLiteral("/"));

    QString rootDirectory() const { return m_root; }
    // The file's real path: the absolute path given, below the root directory.
    QString resolve(const QString &path) const;

    // Adds the file's sections to the merged map. False when the file cannot be read (a PBX without
    // that module has no such file: that is no error, the map stays as it was).
    bool readFile(const QString &path);
    // Reads manager.conf: its user sections (every section but "general", templates excluded) go to
    // the manager map, by user name.
    bool parseManagerFile(const QString &path);

    Sections sections() const { return m_sections; }
    Sections managerSections() const { return m_managerSections; }

    // Parses one file's text into its sections, templates applied and left out.
    static Sections parse(const QString &text);

private:
    QString m_root;
    Sections m_sections;
    Sections m_managerSections;
};

} // namespace Orvix::ConfigSetup
