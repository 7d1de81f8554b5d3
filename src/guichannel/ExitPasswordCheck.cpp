#include "ExitPasswordCheck.h"

#include "GuiServerState.h"
#include "protocol/Cryptographic.h"

#include <openssl/crypto.h>

int ExitPasswordCheck::s_firstDelayMs = 1000;
int ExitPasswordCheck::s_maxDelayMs = 30000;
int ExitPasswordCheck::s_forgetAfterMs = 15 * 60 * 1000;

int ExitPasswordCheck::failures() const
{
    if (m_failures == 0 || m_sinceFailure.hasExpired(s_forgetAfterMs))
        return 0;
    return m_failures;
}

qint64 ExitPasswordCheck::msUntilNextCheck() const
{
    const int count = failures();
    if (count == 0)
        return 0;
    const qint64 delay = qMin<qint64>(qint64(s_firstDelayMs) << qMin(count - 1, 20), s_maxDelayMs);
    return qMax<qint64>(0, delay - m_sinceFailure.elapsed());
}

bool ExitPasswordCheck::verify(const QString& typed, const GuiServerState& state)
{
    const QByteArray digest = Cryptographic().convertQStringToSha256(typed + state.m_salt).toHex();
    const QByteArray expected = state.m_hashedPassword.toUtf8();
    const bool match = digest.size() == expected.size()
        && CRYPTO_memcmp(digest.constData(), expected.constData(), size_t(digest.size())) == 0;
    if (match) {
        m_failures = 0;
    } else {
        m_failures = failures() + 1;
        m_sinceFailure.start();
    }
    return match;
}
