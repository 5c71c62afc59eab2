#include "app/ProtocolFile.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cmath>

#include "platform/StringTable.h"

namespace oq::protocolfile {

namespace {

ErrorRecord fileError(const char* descriptionKey, const QString& path, int code, const QString& reason)
{
    return ErrorRecord(FileErrorDomain, code,
        {{NSLocalizedDescriptionKey, localized(QString::fromLatin1(descriptionKey)).arg(QFileInfo(path).fileName())},
            {NSLocalizedFailureReasonErrorKey, reason}});
}

QString iso(const QDateTime& d) { return d.toLocalTime().toString(Qt::ISODate); }

struct Flag {
    const char* name;
    bool (OQProtocolEvent::*get)() const;
};
const Flag kFlags[] = {
    {"incompleteInterval", &OQProtocolEvent::incompleteInterval},
    {"newInterval", &OQProtocolEvent::newInterval},
    {"dateChanged", &OQProtocolEvent::dateChanged},
    {"overflow", &OQProtocolEvent::overflow},
    {"doseAlarm", &OQProtocolEvent::doseAlarm},
    {"doseRateAlarm", &OQProtocolEvent::doseRateAlarm},
    {"cdsChanged", &OQProtocolEvent::cdsChanged},
};

} // namespace

std::shared_ptr<OQProtocol> load(const QString& path, ErrorRecord* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = fileError("errors.file.open.description", path, int(file.error()), file.errorString());
        return nullptr;
    }
    if (file.size() > kMaxDumpFileSize) {
        if (error)
            *error = fileError("errors.file.open.description", path, int(QFileDevice::ReadError),
                localized(QStringLiteral("errors.file.too_large")));
        return nullptr;
    }
    const QByteArray bytes = file.read(kMaxDumpFileSize + 1);
    if (file.error() != QFileDevice::NoError || bytes.size() > kMaxDumpFileSize) {
        if (error)
            *error = fileError("errors.file.open.description", path, int(QFileDevice::ReadError),
                bytes.size() > kMaxDumpFileSize ? localized(QStringLiteral("errors.file.too_large")) : file.errorString());
        return nullptr;
    }
    // Dumps are ASCII; Latin-1 keeps every other byte as one character for the parser to reject.
    const QString text = QString::fromLatin1(bytes);
    std::shared_ptr<OQProtocol> protocol = OQProtocol::initWithDeviceDump(text);
    if (!protocol) {
        protocol = OQProtocol::initWithDeviceInfo(nullptr, std::nullopt, std::nullopt, std::nullopt, QString(),
            QFileInfo(path).lastModified());
        protocol->setDeviceDumpString(text);
    }
    return protocol;
}

bool writeAtomically(const QString& path, const QByteArray& bytes, ErrorRecord* error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        if (error)
            *error = fileError("errors.file.save.description", path, int(file.error()), file.errorString());
        file.cancelWriting();
        return false;
    }
    return true;
}

bool save(const OQProtocol& protocol, const QString& path, ErrorRecord* error)
{
    return writeAtomically(path, protocol.deviceDump().toLatin1(), error);
}

QString eventsCsv(const OQProtocolEventList& events)
{
    QString out = QStringLiteral("start,end,duration_s,pulses,dose_rate_uSv_h,cds");
    for (const Flag& f : kFlags)
        out += QLatin1Char(',') + QLatin1String(f.name);
    out += QLatin1Char('\n');
    for (const auto& e : events) {
        out += iso(e->startDate()) + QLatin1Char(',') + iso(e->endDate()) + QLatin1Char(',')
            + QString::number(e->duration()) + QLatin1Char(',') + QString::number(e->pulses()) + QLatin1Char(',')
            + (std::isnan(e->doseRate()) ? QString() : QString::number(e->doseRate(), 'f', 6)) + QLatin1Char(',')
            + (e->cds() ? QString::number(*e->cds()) : QString());
        for (const Flag& f : kFlags)
            out += ((*e).*f.get)() ? QStringLiteral(",1") : QStringLiteral(",0");
        out += QLatin1Char('\n');
    }
    return out;
}

QString eventsJson(const OQProtocolEventList& events)
{
    QJsonArray array;
    for (const auto& e : events) {
        QJsonObject o{
            {"start", iso(e->startDate())},
            {"end", iso(e->endDate())},
            {"duration", double(e->duration())},
            {"pulses", double(e->pulses())},
            {"doseRate", std::isnan(e->doseRate()) ? QJsonValue() : QJsonValue(e->doseRate())},
            {"cds", e->cds() ? QJsonValue(*e->cds()) : QJsonValue()},
        };
        for (const Flag& f : kFlags)
            o.insert(QLatin1String(f.name), ((*e).*f.get)());
        array.append(o);
    }
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented));
}

QString suggestedFileName(const QString& serialNumber, const QDateTime& when)
{
    QString serial;
    for (const QChar c : serialNumber) {
        if (c.isLetterOrNumber())
            serial += c;
    }
    const QString stamp = when.toString(QStringLiteral("yyyy-MM-dd_HHmmss"));
    return serial.isEmpty() ? QStringLiteral("protocol_%1.oqdump").arg(stamp)
                            : QStringLiteral("protocol_%1_%2.oqdump").arg(serial, stamp);
}

} // namespace oq::protocolfile
