#include "firmware_rules.h"
#include "fuzz_check.h"
#include "fuzz_entries.h"
#include "reply_readers.h"

namespace unitcmd {

namespace {

volatile qsizetype sink = 0; // keeps the results from being dropped

// A window of `length` characters `offset` after the key at `index`, shorter at the end.
QString windowAfter(const QString &text, qsizetype index, qsizetype offset, qsizetype length)
{
    return text.mid(index + offset, length);
}

void checkQmtFirmware(const QString &version)
{
    const QmtFirmwareNumbers numbers = qmtFirmwareNumbers(version);
    const bool supported = qmtFirmwareSupported(version);
    FUZZ_CHECK(supported == (numbers.major == 2 ? numbers.minor > 98 : numbers.major > 1));
}

} // namespace

void fuzzReplyReaders(const std::uint8_t *data, std::size_t size)
{
    const QByteArray body =
            QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));

    // QMT login: two texts, empty when the body is not XML.
    const QmtLoginReply qmt = readQmtLoginReply(body);
    sink = sink + qmt.session.size() + qmt.code.size();

    // ZMT login: the bytes up to the first zero, one character each, and the windows after the
    // first "session" and the first "errno".
    const ZmtLoginReply zmt = readZmtLoginReply(body);
    const qsizetype zero = body.indexOf('\0');
    FUZZ_CHECK(zmt.text.size() == (zero < 0 ? body.size() : zero));
    FUZZ_CHECK(zmt.sessionIndex == zmt.text.indexOf(QLatin1String("session")));
    FUZZ_CHECK(zmt.errnoIndex == zmt.text.indexOf(QLatin1String("errno")));
    FUZZ_CHECK(zmt.session.has_value() == (zmt.sessionIndex >= 0));
    FUZZ_CHECK(zmt.errorCode.has_value() == (zmt.errnoIndex >= 0));
    if (zmt.session) {
        FUZZ_CHECK(zmt.session->size() <= 4);
        FUZZ_CHECK(*zmt.session == windowAfter(zmt.text, zmt.sessionIndex, 10, 4));
    }
    if (zmt.errorCode) {
        FUZZ_CHECK(zmt.errorCode->size() <= 3);
        FUZZ_CHECK(*zmt.errorCode == windowAfter(zmt.text, zmt.errnoIndex, 7, 3));
    }

    // Firmware replies, on into the rules.
    if (const std::optional<QString> version = readQmtFirmwareVersion(body))
        checkQmtFirmware(*version);
    if (const std::optional<QString> window = readZmtFirmwareWindow(body)) {
        FUZZ_CHECK(window->size() <= 8);
        const qsizetype index = zmt.text.indexOf(QLatin1String("data"));
        FUZZ_CHECK(index >= 0 && *window == windowAfter(zmt.text, index, 7, 8));
        const ZmtFirmwareNumbers numbers = zmtFirmwareNumbers(*window);
        FUZZ_CHECK(zmtFirmwareSupported(*window) == !(numbers.main > 0 && numbers.child < 8));
    } else {
        FUZZ_CHECK(!zmt.text.contains(QLatin1String("data")));
    }
}

} // namespace unitcmd
