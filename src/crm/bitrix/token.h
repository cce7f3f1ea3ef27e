#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>

namespace Orvix::CRM::Bitrix {

// The CRM client's OAuth token, kept in "token.json" of the generated directory so that a restarted
// service goes on with it. Main thread only; shared by the Auth object that owns it.
class Token
{
public:
    // baseDirectory: where the "generated" directory lives; empty means beside the executable.
    explicit Token(const QString &generatedPostfix = QString(), const QString &baseDirectory = QString());
    virtual ~Token() = default;

    virtual QString getAccess() const { return m_access; }
    virtual QString getRefresh() const { return m_refresh; }
    // False too when less than a minute is left: the portal counts the lifetime from the moment it
    // issued the token, we from the moment its answer arrived.
    virtual bool isValid() const;
    // Counts the token as expired from now on (the portal said so); the file is not touched.
    void expire() { m_validTill = QDateTime(); }
    // Writes the token atomically, readable by the owner only: it grants access to the whole CRM.
    virtual bool save();

    void fromJson(const QJsonObject &json);
    QJsonObject toJson() const;
    void load();
    QString filePath() const;
    QDateTime validTill() const { return m_validTill; }

private:
    QString m_access;
    QString m_refresh;
    QDateTime m_validTill;
    QString m_generatedPostfix;
    QString m_baseDirectory;
};

} // namespace Orvix::CRM::Bitrix
