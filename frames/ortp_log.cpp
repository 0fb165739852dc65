#include "ortp_log.h"

#include <QByteArray>
#include <QLoggingCategory>

#include <cstdarg>
#include <cstdio>
#include <ortp/logging.h>

Q_LOGGING_CATEGORY(lcOrtp, "tandeo.ortp", QtInfoMsg)

namespace frames {

namespace {

QByteArray formatted(const char *format, va_list args)
{
    va_list sizing;
    va_copy(sizing, args);
    const int length = std::vsnprintf(nullptr, 0, format, sizing);
    va_end(sizing);
    if (length <= 0)
        return QByteArray();
    QByteArray text(length, Qt::Uninitialized); // keeps room for the terminating zero
    std::vsnprintf(text.data(), std::size_t(length) + 1, format, args);
    return text.trimmed();
}

void toCategory(const char *domain, OrtpLogLevel level, const char *format, va_list args)
{
    const bool fatal = level == ORTP_FATAL;
    // Decided before formatting: with the category off this costs a flag test per packet.
    if (!fatal && !lcOrtp().isDebugEnabled())
        return;
    const QByteArray text = formatted(format, args);
    const char *source = domain ? domain : "ortp";
    if (fatal)
        qCCritical(lcOrtp).nospace().noquote() << source << ": " << text;
    else
        qCDebug(lcOrtp).nospace().noquote() << source << ": " << text;
}

} // namespace

void routeOrtpLog()
{
    ortp_set_log_handler(&toCategory);
}

} // namespace frames
