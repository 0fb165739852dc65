#ifndef TANDEO_STANDIN_TOKEN_STORE_H
#define TANDEO_STANDIN_TOKEN_STORE_H

#include <QSet>
#include <QString>

namespace standin {

// The restore tokens the stand-in handed out. Tokens for shares kept "until revoked" are also
// written to the store file (one a line), so a later run of the stand-in accepts them; the
// others live as long as the process. A token is good for one restore: the share it restores
// gets a fresh one.
class TokenStore
{
public:
    // Reads the file when it exists; an empty path keeps every token in memory only.
    bool load(const QString &path, QString *error);

    bool knows(const QString &token) const { return m_tokens.contains(token); }
    QString issue(bool untilRevoked);
    void forget(const QString &token);

private:
    void save();

    QString m_path;
    QSet<QString> m_tokens;
    QSet<QString> m_storedTokens;
};

} // namespace standin

#endif // TANDEO_STANDIN_TOKEN_STORE_H
