#include "app/controller/HistoryRecorder.h"

#include <QDateTime>
#include <QMessageBox>
#include <QPushButton>

#include "app/controller/DeviceExchanges.h"
#include "app/menus/DeviceMenu.h"
#include "app/controller/OQAppDelegate.h"
#include "app/windows/ProtocolWindow.h"
#include "history/HistoryDatabase.h"
#include "history/HistoryReader.h"
#include "history/HistorySettings.h"
#include "history/HistoryWriter.h"
#include "history/ProtocolIntervals.h"
#include "parser/OQDeviceInfo.h"
#include "platform/StringTable.h"
#include "app/windows/ColorManager.h"

using oq::localized;

HistoryRecorder::HistoryRecorder(OQAppDelegate* controller, const QString& path, QObject* parent)
    : QObject(parent)
    , m_controller(controller)
    , m_path(path.isEmpty() ? oq::history::defaultPath() : path)
{
    if (controller)
        connect(controller, &OQAppDelegate::deviceOnlineValueChanged, this, &HistoryRecorder::valueChanged);
    // Opened now, so a damaged file is found and moved aside at start, not at the first reading.
    if (oq::history::recordingEnabled())
        writer();
}

HistoryRecorder::~HistoryRecorder() = default;

oq::history::Writer& HistoryRecorder::writer()
{
    if (!m_writer) {
        oq::history::Writer::Options options;
        options.path = m_path;
        options.retentionDays = oq::history::retentionDays();
        m_writer = std::make_unique<oq::history::Writer>(options);
    }
    return *m_writer;
}

void HistoryRecorder::valueChanged()
{
    const auto device = m_controller ? m_controller->device() : nullptr;
    if (!device || !device->onlineValue())
        return;
    const double value = device->onlineValue().value_or(0.0);
    const QVariant mode = m_controller->onlineMode();
    if (!mode.isValid())
        return;
    oq::history::Reading reading;
    reading.timeMs = device->onlineValueTime().value_or(QDateTime::currentMSecsSinceEpoch());
    reading.mode = int(mode.toLongLong());
    if (reading.mode != oq::history::Rate && reading.mode != oq::history::Dose)
        return;
    reading.value = value;
    reading.level = int(oq::levelForValue(value, reading.mode));
    // The device publishes a value and then its unit, in one go on this thread.
    QMetaObject::invokeMethod(this, [this, reading, weak = std::weak_ptr<OQDevice>(device)]() mutable {
        if (const auto d = weak.lock()) {
            reading.counterUnit = d->onlineUnit();
            reading.serial = d->info() ? d->info()->serialNumber() : QString();
            emit readingTaken(reading, d->info() ? d->info()->firmwareVersion() : QString());
            if (oq::history::recordingEnabled())
                writer().record(std::move(reading));
        }
    }, Qt::QueuedConnection);
}

void HistoryRecorder::watch(DeviceMenu* menu)
{
    connect(menu, &DeviceMenu::protocolDownloaded, this, &HistoryRecorder::storeProtocol);
    connect(menu, &DeviceMenu::protocolFileOpened, this, &HistoryRecorder::offerImport);
}

void HistoryRecorder::storeProtocol(ProtocolWindow* window)
{
    if (!window)
        return;
    auto intervals = oq::history::intervalsOf(window->events());
    if (intervals.empty())
        return;
    QPointer<HistoryRecorder> self(this);
    writer().storeIntervals(oq::history::serialOf(*window->protocol()), std::move(intervals), [self](int stored, int total) {
        QMetaObject::invokeMethod(self.data(), [self, stored, total] {
            if (self)
                emit self->protocolStored(stored, total);
        }, Qt::QueuedConnection);
    });
}

void HistoryRecorder::offerImport(ProtocolWindow* window)
{
    if (!window)
        return;
    const auto intervals = oq::history::intervalsOf(window->events());
    if (intervals.empty())
        return;
    const QString serial = oq::history::serialOf(*window->protocol());
    QString problem;
    const auto reader = oq::history::Reader::open(m_path, &problem);
    const qint64 missing = reader ? reader->missingIntervals(serial, intervals) : qint64(intervals.size());
    if (missing == 0)
        return;
    bool add = false;
    if (m_importAnswer) {
        add = *m_importAnswer;
    } else {
        QMessageBox box(QMessageBox::Question, localized(QStringLiteral("history.import.title")),
            localized(QStringLiteral("history.import.question"))
                .arg(serial.isEmpty() ? localized(QStringLiteral("history.unknown_counter")) : serial)
                .arg(missing)
                .arg(intervals.size()),
            QMessageBox::NoButton, window);
        auto* yes = box.addButton(localized(QStringLiteral("history.import.add")), QMessageBox::AcceptRole);
        box.addButton(localized(QStringLiteral("history.import.skip")), QMessageBox::RejectRole);
        box.setDefaultButton(yes);
        box.exec();
        add = box.clickedButton() == yes;
    }
    if (add)
        storeProtocol(window);
}
