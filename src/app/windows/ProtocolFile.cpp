#include "app/windows/ProtocolFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include "platform/SafeFile.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "platform/StringTable.h"

namespace oq::protocolfile {

namespace {

ErrorRecord fileError(const char* descriptionKey, const QString& path, int code, const QString& reason)
{
    return ErrorRecord(FileErrorDomain, code,
        {{NSLocalizedDescriptionKey, localized(QString::fromLatin1(descriptionKey)).arg(QFileInfo(path).fileName())},
            {NSLocalizedFailureReasonErrorKey, reason}});
}

} // namespace

std::shared_ptr<OQProtocol> load(const QString& path, ErrorRecord* error)
{
    const auto fail = [&](int code, const QString& reason) {
        if (error)
            *error = fileError("errors.file.open.description", path, code, reason);
        return nullptr;
    };
    // A pipe or device would block the window or never end.
    const QFileInfo fileInfo(path);
    if (fileInfo.exists() && !fileInfo.isFile())
        return fail(int(QFileDevice::OpenError), localized(QStringLiteral("errors.file.not_a_file")));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(int(file.error()), file.errorString());
    const QByteArray bytes = file.read(kMaxDumpFileSize + 1);
    if (file.error() != QFileDevice::NoError)
        return fail(int(file.error()), file.errorString());
    if (bytes.size() > kMaxDumpFileSize)
        return fail(int(QFileDevice::ReadError), localized(QStringLiteral("errors.file.too_large")));
    // Dumps are ASCII; Latin-1 keeps every other byte as one character for the parser to reject.
    return OQProtocol::initWithStoredText(QString::fromLatin1(bytes), fileInfo.lastModified());
}

bool writeAtomically(const QString& path, const QByteArray& bytes, ErrorRecord* error)
{
    return writeAtomically(path, [&bytes](QIODevice& file) { return file.write(bytes) == bytes.size(); }, error);
}

bool writeAtomically(const QString& path, const std::function<bool(QIODevice&)>& write, ErrorRecord* error)
{
    QString reason;
    if (!oq::files::writeAtomically(path, write, oq::files::Privacy::Shared, &reason)) {
        if (error)
            *error = fileError("errors.file.save.description", path, int(QFileDevice::WriteError), reason);
        return false;
    }
    return true;
}

bool save(const OQProtocol& protocol, const QString& path, ErrorRecord* error)
{
    return writeAtomically(path, protocol.deviceDump().toLatin1(), error);
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

QString dialogFolder()
{
    const QString last = SettingsStore::text(SettingsStore::shared().objectForKey(settings::LastDialogFolder));
    if (!last.isEmpty() && QFileInfo(last).isDir())
        return last;
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return !documents.isEmpty() && QFileInfo(documents).isDir() ? documents : QDir::homePath();
}

void rememberDialogFolder(const QString& chosenPath)
{
    if (!chosenPath.isEmpty())
        SettingsStore::shared().setString(settings::LastDialogFolder, QFileInfo(chosenPath).absolutePath());
}

} // namespace oq::protocolfile
