#include "event_record.h"
#include "portal_types.h"
#include "token_store.h"

#include <QDBusMetaType>
#include <QSaveFile>
#include <QUuid>

namespace standin {

void registerPortalTypes()
{
    qDBusRegisterMetaType<IntPair>();
    qDBusRegisterMetaType<StreamDescription>();
    qDBusRegisterMetaType<QList<StreamDescription>>();
}

bool EventRecord::open(const QString &path)
{
    m_file.setFileName(path);
    return m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
}

void EventRecord::add(const QString &line)
{
    if (!m_file.isOpen())
        return;
    m_file.write(line.toUtf8() + '\n');
    m_file.flush();
}

bool TokenStore::load(const QString &path, QString *error)
{
    m_path = path;
    if (path.isEmpty())
        return true;
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    while (!file.atEnd()) {
        const QString token = QString::fromUtf8(file.readLine()).trimmed();
        if (!token.isEmpty()) {
            m_tokens.insert(token);
            m_storedTokens.insert(token);
        }
    }
    return true;
}

QString TokenStore::issue(bool untilRevoked)
{
    const QString token = QUuid::createUuid().toString(QUuid::WithoutBraces);
    m_tokens.insert(token);
    if (untilRevoked && !m_path.isEmpty()) {
        m_storedTokens.insert(token);
        save();
    }
    return token;
}

void TokenStore::forget(const QString &token)
{
    m_tokens.remove(token);
    if (m_storedTokens.remove(token))
        save();
}

void TokenStore::save()
{
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        qWarning("cannot write the token store %s", qPrintable(m_path));
        return;
    }
    for (const QString &token : std::as_const(m_storedTokens))
        file.write(token.toUtf8() + '\n');
    if (!file.commit())
        qWarning("cannot write the token store %s", qPrintable(m_path));
}

} // namespace standin
