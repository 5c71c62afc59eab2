#include "OQParser.h"

#include <QByteArray>

#include <mutex>

#include "logging/Log.h"
#include "parser/parser_callbacks.h"

namespace {

std::mutex s_mutex;
// Module state shared by every callback; replaced by each parse.
QVariantMap s_record;

void store(const char* key, const char* text) { s_record.insert(QLatin1String(key), QString::fromUtf8(text)); }

void cbBadData(BD_E code, uint8_t sanitized) { LGLogError("Bad Data: %d sanitized: %u\n", int(code), unsigned(sanitized)); }
void cbSwVersion(const char* t) { store("sw_version", t); }
void cbFwVersion(const char* t) { store("fw_version", t); }
void cbFwTube(const char* t) { store("fw_tube", t); }
void cbType(const char* t) { store("type", t); }
void cbFeatures(const char* t) { store("features", t); }
void cbSerialNumber(const char* t) { store("serial_number", t); }
void cbDate(const char* t) { store("date", t); }
void cbTime(const char* t) { store("time", t); }
void cbHwInfo(const char* t) { store("hw_info", t); }
void cbStatc(const char* t) { store("statc", t); }
void cbValidBytes(uint16_t n) { s_record.insert(QStringLiteral("valid_bytes"), uint(n)); }

parser_callbacks recordCallbacks()
{
    parser_callbacks cb{};
    cb.cb_sw_version = cbSwVersion;
    cb.cb_bad_data = cbBadData;
    cb.cb_fw_version = cbFwVersion;
    cb.cb_fw_tube = cbFwTube;
    cb.cb_type = cbType;
    cb.cb_features = cbFeatures;
    cb.cb_serial_number = cbSerialNumber;
    cb.cb_date = cbDate;
    cb.cb_time = cbTime;
    cb.cb_hw_info = cbHwInfo;
    cb.cb_statc = cbStatc;
    cb.cb_valid_bytes = cbValidBytes;
    return cb;
}

void fail(const char* message, oq::ErrorRecord* error)
{
    LGLogError("Error: %s\n", message);
    if (error) {
        *error = oq::ErrorRecord(QString::fromLatin1(OQParserErrorDomain), OQParserErrorCode,
            {{QString::fromLatin1(oq::NSLocalizedDescriptionKey), QString::fromUtf8(message)}});
    }
}

} // namespace

std::optional<QVariantMap> parseVersion(const QString& text, oq::ErrorRecord* error)
{
    std::lock_guard lock(s_mutex);
    s_record = QVariantMap();
    QByteArray line = text.toUtf8(); // writable, terminated copy
    const parser_callbacks cb = recordCallbacks();
    uint16_t validBytes = 0;
    if (const char* message = parse_v(&cb, line.data(), nullptr, &validBytes)) {
        fail(message, error);
        s_record = QVariantMap();
        return std::nullopt;
    }
    s_record.insert(QStringLiteral("protocol_length"), uint(validBytes));
    return s_record;
}
