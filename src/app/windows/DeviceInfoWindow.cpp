#include "app/windows/DeviceInfoWindow.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

#include "app/controller/AppDelegate.h"
#include "parser/OQDeviceInfo.h"
#include "parser/OQParser.h"
#include "platform/StringTable.h"

using oq::localized;

namespace {

const QString kNone = QStringLiteral("—");

QString orNone(const QString& text)
{
    const QString t = text.trimmed();
    return t.isEmpty() || t == QLatin1String("N/A") ? kNone : t;
}

// The field labels, in the order the window shows them (and Fields declares them).
const char* const kFieldKeys[] = {
    "ui.info.firmware",
    "ui.info.tube",
    "ui.info.power",
    "ui.info.features",
    "ui.info.serial",
    "ui.info.hardware",
    "ui.info.clock",
    "ui.info.clock_difference",
    "ui.info.protocol_length",
};

QString* fieldSlot(DeviceInfoWindow::Fields& f, int i)
{
    QString* fields[] = {&f.firmware, &f.tube, &f.powerSupply, &f.features, &f.serialNumber, &f.hardware,
        &f.counterClock, &f.clockDifference, &f.protocolLength};
    return fields[i];
}

QString featuresText(const QString& features)
{
    const QString text = orNone(features);
    if (text == kNone || text == QLatin1String("unknown"))
        return text;
    const uint64_t bits = OQDeviceInfo::featuresValue(features);
    QStringList names;
    if (bits & OQDeviceInfo::kOnlineBit)
        names << localized(QStringLiteral("ui.info.feature.online"));
    if (bits & OQDeviceInfo::kAlertBit)
        names << localized(QStringLiteral("ui.info.feature.alert"));
    return names.isEmpty() ? text : QStringLiteral("%1 (%2)").arg(text, names.join(QStringLiteral(", ")));
}

} // namespace

QString DeviceInfoWindow::differenceText(qint64 counterAhead)
{
    const qint64 magnitude = counterAhead < 0 ? -counterAhead : counterAhead;
    // The counter's clock shows whole seconds; a second either way is as close as it can tell.
    if (magnitude <= 1)
        return localized(QStringLiteral("ui.info.clock_in_step"));
    const qint64 days = magnitude / 86400, hours = magnitude / 3600 % 24, minutes = magnitude / 60 % 60,
                 seconds = magnitude % 60;
    QStringList parts;
    if (days)
        parts << localized(QStringLiteral("ui.info.days")).arg(days);
    if (hours)
        parts << localized(QStringLiteral("ui.info.hours")).arg(hours);
    if (minutes && !days)
        parts << localized(QStringLiteral("ui.info.minutes")).arg(minutes);
    if (seconds && !days && !hours)
        parts << localized(QStringLiteral("ui.info.seconds")).arg(seconds);
    const QString amount = parts.join(QLatin1Char(' '));
    return localized(counterAhead > 0 ? QStringLiteral("ui.info.clock_ahead") : QStringLiteral("ui.info.clock_behind"))
        .arg(amount);
}

DeviceInfoWindow::Fields DeviceInfoWindow::fieldsFor(const OQDeviceInfo& info, const QDateTime& readAt)
{
    Fields f;
    f.firmware = orNone(info.firmwareVersion());
    f.serialNumber = orNone(info.serialNumber());
    f.features = featuresText(info.features());
    // The record keeps only what every user needs; tube, power supply and hardware come from the
    // line itself.
    const auto record = parseVersion(info.versionString());
    f.tube = orNone(record ? record->value(QStringLiteral("fw_tube")).toString() : QString());
    f.powerSupply = orNone(record ? record->value(QStringLiteral("type")).toString() : QString());
    // The record's own short words, said in full.
    if (f.powerSupply == QLatin1String("Akku"))
        f.powerSupply = localized(QStringLiteral("ui.info.power.rechargeable"));
    else if (f.powerSupply == QLatin1String("Batt"))
        f.powerSupply = localized(QStringLiteral("ui.info.power.battery"));
    f.hardware = orNone(record ? record->value(QStringLiteral("hw_info")).toString() : QString());
    const QLocale locale;
    if (const auto date = info.date()) {
        f.counterClock = locale.toString(date->date(), QLocale::ShortFormat) + QLatin1Char(' ')
            + date->time().toString(QStringLiteral("HH:mm:ss"));
        f.clockDifference = readAt.isValid() ? differenceText(readAt.secsTo(*date)) : kNone;
    } else {
        f.counterClock = orNone(info.dateString() == info.timeString() ? info.dateString()
                                                                        : info.dateString() + QLatin1Char(' ') + info.timeString());
        f.clockDifference = kNone;
    }
    f.protocolLength = localized(QStringLiteral("ui.info.bytes")).arg(locale.toString(uint(info.protocolLength())));
    return f;
}

DeviceInfoWindow::DeviceInfoWindow(AppDelegate* controller, QWidget* parent)
    : QDialog(parent)
    , m_controller(controller)
{
    setObjectName(QStringLiteral("deviceInfoWindow"));
    setWindowTitle(localized(QStringLiteral("ui.info.title")));
    m_status = new QLabel(this);
    m_status->setWordWrap(true);
    auto* form = new QFormLayout;
    form->setLabelAlignment(Qt::AlignRight);
    for (const char* key : kFieldKeys) {
        auto* value = new QLabel(kNone, this);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        value->setTextFormat(Qt::PlainText); // the counter's texts, never its markup
        form->addRow(localized(QString::fromLatin1(key)), value);
        m_values << value;
    }
    auto* buttons = new QDialogButtonBox(this);
    m_setClock = buttons->addButton(localized(QStringLiteral("ui.menu.device.set_clock")), QDialogButtonBox::ActionRole);
    auto* close = buttons->addButton(localized(QStringLiteral("ui.info.close")), QDialogButtonBox::RejectRole);
    connect(m_setClock, &QPushButton::clicked, this, &DeviceInfoWindow::setClockRequested);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    // Opening it must not leave one key press away from changing the counter's clock.
    m_setClock->setAutoDefault(false);
    close->setDefault(true);
    setFocusProxy(close);
    connect(new QShortcut(QKeySequence::Close, this), &QShortcut::activated, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_status);
    layout->addLayout(form);
    layout->addWidget(buttons);

    if (controller)
        connect(controller, &OQAppDelegate::deviceChanged, this, &DeviceInfoWindow::deviceChanged);
    deviceChanged();
}

QString DeviceInfoWindow::statusText() const { return m_status->text(); }

void DeviceInfoWindow::setSetClockEnabled(bool enabled) { m_setClock->setEnabled(enabled); }

void DeviceInfoWindow::deviceChanged()
{
    disconnect(m_infoConnection);
    for (const auto& c : m_stateConnections)
        disconnect(c);
    const auto d = m_controller ? m_controller->device() : nullptr;
    if (d) {
        m_infoConnection = connect(d.get(), &OQDevice::infoChanged, this, &DeviceInfoWindow::infoChanged);
        m_stateConnections = {connect(d.get(), &OQDevice::connectedChanged, this, &DeviceInfoWindow::refresh),
            connect(d.get(), &OQDevice::failedChanged, this, &DeviceInfoWindow::refresh)};
    }
    infoChanged();
}

void DeviceInfoWindow::infoChanged()
{
    const auto d = m_controller ? m_controller->device() : nullptr;
    auto info = d ? d->info() : nullptr;
    if (info != m_info) {
        m_info = std::move(info);
        // The record was read moments ago: the device publishes it as soon as it has parsed it.
        m_readAt = QDateTime::currentDateTime();
    }
    refresh();
}

void DeviceInfoWindow::refresh()
{
    if (m_info) {
        m_fields = fieldsFor(*m_info, m_readAt);
        m_status->setText(localized(QStringLiteral("ui.info.read_at")).arg(QLocale().toString(m_readAt, QLocale::ShortFormat)));
    } else {
        m_fields = Fields{kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone};
        // Only a counter that is there and working will ever answer.
        const auto d = m_controller ? m_controller->device() : nullptr;
        m_status->setText(localized(!d   ? QStringLiteral("ui.info.no_counter")
                : d->failed()             ? QStringLiteral("ui.info.unusable")
                                          : QStringLiteral("ui.info.reading")));
    }
    for (int i = 0; i < m_values.size(); ++i)
        m_values[i]->setText(*fieldSlot(m_fields, i));
}
