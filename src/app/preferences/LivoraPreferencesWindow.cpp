#include "LivoraPreferencesWindow.h"

#include <QAccessible>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QColorDialog>
#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QShowEvent>
#include <QVBoxLayout>

#include "logging/Log.h"
#include "app/preferences/AlertOptionsBox.h"
#include "app/preferences/MqttOptionsBox.h"
#include "app/preferences/WebPageBox.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "platform/StringTable.h"
#include "app/preferences/SwitchPreference.h"
#include "app/windows/SpokenReading.h"

using oq::Threshold;

namespace {

QPointer<QColorDialog>& sharedDialogSlot()
{
    static QPointer<QColorDialog> dialog;
    return dialog;
}

QString text(const char* key) { return oq::localized(QString::fromLatin1(key)); }

QString levelName(int level)
{
    static const char* keys[] = {"preferences.level.normal", "preferences.level.warning", "preferences.level.danger"};
    return text(keys[level]);
}

QString kindName(int kind)
{
    static const char* keys[] = {"preferences.colors.text", "preferences.colors.background", "preferences.colors.bar"};
    return text(keys[kind]);
}

// The field's spoken name: its level and quantity, then the unit.
QString thresholdRowName(Threshold t)
{
    return text(t == Threshold::WarningRate || t == Threshold::WarningDose ? "preferences.thresholds.spoken_warning"
                                                                        : "preferences.thresholds.spoken_danger");
}

QString thresholdColumnName(Threshold t)
{
    return text(oq::isRateThreshold(t) ? "preferences.thresholds.spoken_rate" : "preferences.thresholds.spoken_dose");
}

// A swatch image: the colour over a checkerboard (so transparency shows), with a hairline frame
// that stays visible on light and dark themes.
QPixmap swatchPixmap(const QColor& color, const QSize& size, qreal dpr)
{
    QPixmap pixmap(size * dpr);
    pixmap.setDevicePixelRatio(dpr);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(QPointF(0, 0), QSizeF(size)).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath path;
    path.addRoundedRect(r, 3, 3);
    p.setClipPath(path);
    if (color.alpha() < 255) {
        const int cell = 5;
        for (int y = 0; y < size.height(); y += cell)
            for (int x = 0; x < size.width(); x += cell)
                p.fillRect(x, y, cell, cell, ((x + y) / cell) % 2 ? QColor(204, 204, 204) : Qt::white);
    }
    p.fillRect(r, color);
    p.setClipping(false);
    p.setPen(QPen(QColor(128, 128, 128, 160), 1));
    p.drawPath(path);
    return pixmap;
}

// "dark green": what a colour looks like, for those who hear the swatch rather than see it.
QString colorWords(const QColor& color)
{
    const QColor hsl = color.toHsl();
    const double l = hsl.lightnessF(), sat = hsl.hslSaturationF();
    if (l < 0.12)
        return text("preferences.colors.name.black");
    if (l > 0.92)
        return text("preferences.colors.name.white");
    QString hue;
    if (sat < 0.15) {
        hue = text("preferences.colors.name.grey");
    } else {
        static const std::pair<int, const char*> hues[] = {{15, "red"}, {40, "orange"}, {65, "yellow"}, {170, "green"},
            {200, "cyan"}, {260, "blue"}, {290, "purple"}, {345, "magenta"}, {360, "red"}};
        const int h = std::max(0, hsl.hslHue());
        for (const auto& [limit, name] : hues) {
            if (h < limit) {
                hue = text(QByteArray("preferences.colors.name.").append(name).constData());
                break;
            }
        }
    }
    if (l < 0.35)
        return text("preferences.colors.name.dark").arg(hue);
    if (l > 0.7)
        return text("preferences.colors.name.light").arg(hue);
    return hue;
}

void noAutoDefault(QPushButton* button)
{
    // Return in a threshold field commits the field; it must not press a button and close the window.
    button->setAutoDefault(false);
    button->setDefault(false);
}

} // namespace

LivoraPreferencesWindow::LivoraPreferencesWindow(DeviceUnitSource deviceUnit, QWidget* parent)
    : QDialog(parent)
    , m_deviceUnit(std::move(deviceUnit))
{
    setObjectName(QStringLiteral("LivoraPreferencesWindow"));
    m_unitStrategy = deviceStrategy();
    buildUi();
    connect(&oq::SettingsStore::shared(), &oq::SettingsStore::changed, this, &LivoraPreferencesWindow::settingChanged);
    windowDidLoad();
}

LivoraPreferencesWindow::~LivoraPreferencesWindow() = default;

void LivoraPreferencesWindow::buildUi()
{
    setWindowTitle(text("preferences.title"));
    setAccessibleName(windowTitle());
    setSizeGripEnabled(false);

    // The boxes scroll, the buttons stay: on a small screen Close is always in reach.
    auto* outer = new QVBoxLayout(this);
    m_scroll = new QScrollArea(this);
    m_scroll->setObjectName(QStringLiteral("preferencesScrollArea"));
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    // Tab goes through the controls themselves, and the area scrolls to the one with the focus.
    m_scroll->setFocusPolicy(Qt::NoFocus);
    auto* page = new QWidget(m_scroll);
    auto* root = new QVBoxLayout(page);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(14);

    // Display unit.
    auto* unitBox = new QGroupBox(text("preferences.unit.group"), this);
    auto* unitLayout = new QVBoxLayout(unitBox);
    m_unitGroup = new QButtonGroup(this);
    auto addUnitButton = [&](const char* key, int tag) {
        auto* button = new QRadioButton(text(key), unitBox);
        button->setProperty("tag", tag);
        m_unitGroup->addButton(button, tag);
        unitLayout->addWidget(button);
        return button;
    };
    m_deviceUnitButton = addUnitButton("preferences.unit.device", DeviceUnitTag);
    m_svUnitButton = addUnitButton("preferences.unit.sv", SvUnitTag);
    m_remUnitButton = addUnitButton("preferences.unit.rem", RemUnitTag);
    connect(m_unitGroup, &QButtonGroup::buttonClicked, this, &LivoraPreferencesWindow::chooseUnit);
    root->addWidget(unitBox);

    // Thresholds: rows warning / danger, columns rate / dose.
    // No buddies, and not directly in the group box: a screen reader would read the label it is
    // related to (the unit, "Warning from", the group's title) instead of the field's own name.
    auto* levelGroup = new QGroupBox(text("preferences.thresholds.group"), this);
    auto* levelBox = new QWidget(levelGroup);
    auto* levelGroupLayout = new QVBoxLayout(levelGroup);
    levelGroupLayout->setContentsMargins(0, 0, 0, 0);
    levelGroupLayout->addWidget(levelBox);
    auto* levels = new QGridLayout(levelBox);
    levels->setHorizontalSpacing(12);
    levels->setColumnStretch(1, 1);
    levels->setColumnStretch(2, 1);
    const int unitWidth = std::max({QFontMetrics(font()).horizontalAdvance(QString(QChar(0x03BC)) + QStringLiteral("rem/h")),
                              QFontMetrics(font()).horizontalAdvance(QStringLiteral("mrem"))})
        + 4;
    for (int column = 0; column < 2; ++column) {
        auto* header = new QLabel(column == 0 ? text("preferences.thresholds.rate") : text("preferences.thresholds.dose"), levelBox);
        QFont bold = header->font();
        bold.setBold(true);
        header->setFont(bold);
        levels->addWidget(header, 0, column + 1);
    }
    for (int row = 0; row < 2; ++row) {
        auto* rowLabel = new QLabel(row == 0 ? text("preferences.thresholds.warning") : text("preferences.thresholds.danger"), levelBox);
        levels->addWidget(rowLabel, row + 1, 0);
        for (int column = 0; column < 2; ++column) {
            const Threshold t = row == 0 ? (column == 0 ? Threshold::WarningRate : Threshold::WarningDose)
                                         : (column == 0 ? Threshold::DangerRate : Threshold::DangerDose);
            Field& field = m_fields[size_t(t)];
            auto* cell = new QHBoxLayout;
            cell->setSpacing(6);
            field.edit = new QLineEdit(levelBox);
            field.edit->setObjectName(oq::thresholdKey(t));
            field.edit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            field.edit->setMinimumWidth(QFontMetrics(font()).horizontalAdvance(QStringLiteral("0,000,000.000")));
            field.unit = new QLabel(levelBox);
            field.unit->setMinimumWidth(unitWidth);
            cell->addWidget(field.edit, 1);
            cell->addWidget(field.unit);
            levels->addLayout(cell, row + 1, column + 1);
            connect(field.edit, &QLineEdit::editingFinished, this, [this, t] { commitField(t); });
            connect(field.edit, &QLineEdit::textEdited, this, [this] { showInputMessage({}); });
        }
    }
    m_message = new QLabel(levelBox);
    m_message->setWordWrap(true);
    m_message->setVisible(false);
    levels->addWidget(m_message, 3, 0, 1, 3);
    root->addWidget(levelGroup);

    // Colours: rows normal / warning / danger, columns text / background / bar.
    auto* colorBox = new QGroupBox(text("preferences.colors.group"), this);
    auto* colors = new QGridLayout(colorBox);
    colors->setHorizontalSpacing(16);
    for (int kind = 0; kind < 3; ++kind) {
        auto* header = new QLabel(kindName(kind), colorBox);
        header->setAlignment(Qt::AlignCenter);
        QFont bold = header->font();
        bold.setBold(true);
        header->setFont(bold);
        colors->addWidget(header, 0, kind + 1);
        if (kind < 2)
            m_nonBarColorWidgets.push_back(header);
    }
    const QStringList keys = oq::settings::colorKeys(); // level-major: font, background, bar
    for (int level = 0; level < 3; ++level) {
        colors->addWidget(new QLabel(levelName(level), colorBox), level + 1, 0);
        for (int kind = 0; kind < 3; ++kind) {
            Swatch swatch;
            swatch.key = keys[level * 3 + kind];
            swatch.button = new QPushButton(colorBox);
            swatch.button->setObjectName(swatch.key);
            swatch.button->setIconSize(QSize(44, 18));
            swatch.button->setAccessibleName(text("preferences.colors.swatch_name").arg(levelName(level), kindName(kind)));
            noAutoDefault(swatch.button);
            colors->addWidget(swatch.button, level + 1, kind + 1, Qt::AlignCenter);
            if (kind < 2)
                m_nonBarColorWidgets.push_back(swatch.button);
            const QString key = swatch.key;
            connect(swatch.button, &QPushButton::clicked, this, [this, key] { openColorDialog(key); });
            m_swatches.push_back(swatch);
            refreshSwatch(swatch);
        }
    }
    root->addWidget(colorBox);
    root->addWidget(new AlertOptionsBox(this));

    auto* historyBox = new QGroupBox(text("preferences.history.group"), this);
    (new QVBoxLayout(historyBox))
        ->addWidget(makeSwitchPreference(oq::settings::RecordHistory, text("preferences.history.record"), true, historyBox));
    root->addWidget(historyBox);
    m_mqttBox = new MqttOptionsBox(this);
    root->addWidget(m_mqttBox);
    m_webBox = new WebPageBox(this);
    root->addWidget(m_webBox);
    root->addStretch(1);
    m_scroll->setWidget(page);
    outer->addWidget(m_scroll, 1);

    auto* buttons = new QDialogButtonBox(this);
    auto* restore = buttons->addButton(text("preferences.colors.restore"), QDialogButtonBox::ResetRole);
    auto* close = buttons->addButton(text("preferences.close"), QDialogButtonBox::RejectRole);
    noAutoDefault(restore);
    noAutoDefault(close);
    connect(restore, &QPushButton::clicked, this, &LivoraPreferencesWindow::restoreDefaultColors);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    outer->addWidget(buttons);

    m_fields[size_t(Threshold::WarningRate)].edit->setFocus();
}

void LivoraPreferencesWindow::windowDidLoad()
{
    auto& store = oq::SettingsStore::shared();
    m_formatter = oq::FloatingPointFormatter(QLocale());
    if (store.stringForKey(oq::settings::displayUnit) == QLatin1String("Sv")) {
        m_svUnitButton->setChecked(true);
        setUnitStrategy(std::make_unique<SvUnitStrategy>());
    }
    if (store.stringForKey(oq::settings::displayUnit) == QLatin1String("rem")) {
        m_remUnitButton->setChecked(true);
        setUnitStrategy(std::make_unique<RemUnitStrategy>());
    }
    if (store.stringForKey(oq::settings::displayUnit).isNull()) {
        m_deviceUnitButton->setChecked(true);
        setUnitStrategy(deviceStrategy());
    }
    refreshFields();
}

std::unique_ptr<PreferenceUnitStrategy> LivoraPreferencesWindow::deviceStrategy() const
{
    const QString unit = m_deviceUnit ? m_deviceUnit() : QString();
    if (unit == QLatin1String("rem"))
        return std::make_unique<RemUnitStrategy>();
    return std::make_unique<SvUnitStrategy>();
}

void LivoraPreferencesWindow::setUnitStrategy(std::unique_ptr<PreferenceUnitStrategy> strategy)
{
    if (!strategy)
        strategy = deviceStrategy();
    m_unitStrategy = std::move(strategy);
    showInputMessage({});
    refreshFields();
    emit unitStrategyChanged();
}

void LivoraPreferencesWindow::chooseUnit(QAbstractButton* sender)
{
    auto& store = oq::SettingsStore::shared();
    switch (sender ? sender->property("tag").toInt() : 0) {
    case DeviceUnitTag:
        store.removeObject(oq::settings::displayUnit);
        setUnitStrategy(deviceStrategy());
        break;
    case SvUnitTag:
        store.setString(oq::settings::displayUnit, QStringLiteral("Sv"));
        setUnitStrategy(std::make_unique<SvUnitStrategy>());
        break;
    case RemUnitTag:
        store.setString(oq::settings::displayUnit, QStringLiteral("rem"));
        setUnitStrategy(std::make_unique<RemUnitStrategy>());
        break;
    default:
        break;
    }
}

void LivoraPreferencesWindow::setDisplayUnit(const QString& unit)
{
    if (unit == QLatin1String("Sv"))
        setUnitStrategy(std::make_unique<SvUnitStrategy>());
    else if (unit == QLatin1String("rem"))
        setUnitStrategy(std::make_unique<RemUnitStrategy>());
    else
        setUnitStrategy(deviceStrategy());
}

void LivoraPreferencesWindow::setOnlyShowBarColors(bool only)
{
    m_onlyShowBarColors = only;
    for (QWidget* w : m_nonBarColorWidgets)
        w->setVisible(!only);
}

QPushButton* LivoraPreferencesWindow::colorSwatch(const QString& key) const
{
    for (const Swatch& s : m_swatches)
        if (s.key == key)
            return s.button;
    return nullptr;
}

QString LivoraPreferencesWindow::inputMessage() const { return m_message->text(); }

void LivoraPreferencesWindow::refreshField(Threshold t)
{
    const Field& field = m_fields[size_t(t)];
    const QString unit = m_unitStrategy->unitFor(t);
    field.unit->setText(unit);
    field.edit->setAccessibleName(
        text("preferences.thresholds.field_name").arg(thresholdRowName(t), thresholdColumnName(t), spokenUnit(unit)));
    const auto value = m_unitStrategy->value(t);
    field.edit->setText(value ? m_formatter.stringForObjectValue(*value) : QString());
    field.edit->setModified(false);
}

void LivoraPreferencesWindow::refreshFields()
{
    for (Threshold t : oq::allThresholds)
        refreshField(t);
}

void LivoraPreferencesWindow::commitField(Threshold t)
{
    QLineEdit* edit = m_fields[size_t(t)].edit;
    if (!edit->isModified())
        return;
    double value = 0;
    QString error;
    if (!m_formatter.getObjectValue(&value, edit->text(), &error)) {
        LGLogInfo("refused threshold text for %@: %@", oq::thresholdKey(t), edit->text());
        refreshField(t);
        showInputMessage(error);
        QApplication::beep();
        return;
    }
    // A warning at or above the danger threshold could never show: refused, as text that is no
    // number is.
    const bool warning = t == Threshold::WarningRate || t == Threshold::WarningDose;
    const Threshold partner = oq::isRateThreshold(t) ? (warning ? Threshold::DangerRate : Threshold::WarningRate)
                                                     : (warning ? Threshold::DangerDose : Threshold::WarningDose);
    if (const auto limit = m_unitStrategy->value(partner); limit && (warning ? value >= *limit : value <= *limit)) {
        LGLogInfo("refused threshold %@ for %@: crosses %@", edit->text(), oq::thresholdKey(t), oq::thresholdKey(partner));
        refreshField(t);
        showInputMessage(text(warning ? "preferences.thresholds.warning_too_high" : "preferences.thresholds.danger_too_low")
                             .arg(m_formatter.stringForObjectValue(*limit), m_unitStrategy->unitFor(t)));
        QApplication::beep();
        return;
    }
    m_unitStrategy->setValue(t, value);
    showInputMessage({});
    refreshField(t);
}

void LivoraPreferencesWindow::showInputMessage(const QString& message)
{
    if (!m_message || message == m_message->text())
        return;
    m_message->setText(message);
    m_message->setVisible(!message.isEmpty());
    if (message.isEmpty())
        return;
    // A red that reads on both light and dark window colours.
    QPalette palette = m_message->palette();
    const bool dark = palette.color(QPalette::Window).lightness() < 128;
    palette.setColor(QPalette::WindowText, dark ? QColor(255, 138, 128) : QColor(176, 0, 32));
    m_message->setPalette(palette);
    m_message->setAccessibleName(message);
    QAccessibleEvent alert(m_message, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
}

void LivoraPreferencesWindow::refreshSwatch(const Swatch& swatch)
{
    const auto archived = oq::SettingsStore::shared().colorForKey(swatch.key);
    const QColor color = archived ? archived->toQColor(QApplication::palette()) : QColor();
    swatch.button->setIcon(QIcon(swatchPixmap(color, swatch.button->iconSize(), devicePixelRatioF())));
    const QString described = archived && archived->kind == oq::ArchivedColor::Kind::WindowBackground
        ? text("preferences.colors.system")
        : QStringLiteral("%1 (%2)").arg(colorWords(color), color.name(color.alpha() < 255 ? QColor::HexArgb : QColor::HexRgb));
    swatch.button->setAccessibleDescription(described);
    swatch.button->setToolTip(swatch.button->accessibleName() + QStringLiteral(": ") + described);
}

QColorDialog* LivoraPreferencesWindow::sharedColorDialog()
{
    auto& slot = sharedDialogSlot();
    if (!slot) {
        slot = new QColorDialog;
        slot->setOptions(QColorDialog::ShowAlphaChannel | QColorDialog::NoButtons | QColorDialog::DontUseNativeDialog);
        slot->setWindowTitle(text("preferences.colors.dialog_title"));
        slot->setModal(false);
    }
    return slot;
}

bool LivoraPreferencesWindow::sharedColorDialogExists() { return !sharedDialogSlot().isNull(); }

void LivoraPreferencesWindow::openColorDialog(const QString& key)
{
    QColorDialog* dialog = sharedColorDialog();
    // The picker writes to the swatch that opened it last, like a colour well taking over the panel.
    disconnect(dialog, &QColorDialog::currentColorChanged, this, nullptr);
    m_activeColorKey = key;
    if (const QPushButton* swatch = colorSwatch(key))
        dialog->setWindowTitle(text("preferences.colors.dialog_title_for").arg(swatch->accessibleName()));
    const auto archived = oq::SettingsStore::shared().colorForKey(key);
    dialog->setCurrentColor(archived ? archived->toQColor(QApplication::palette()) : QColor(Qt::white));
    connect(dialog, &QColorDialog::currentColorChanged, this, [this](const QColor& color) {
        if (color.isValid() && !m_activeColorKey.isEmpty())
            oq::SettingsStore::shared().setColor(m_activeColorKey, oq::ArchivedColor::fromQColor(color));
    });
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

void LivoraPreferencesWindow::restoreDefaultColors()
{
    for (const QString& key : oq::settings::colorKeys())
        oq::SettingsStore::shared().removeObject(key);
}

void LivoraPreferencesWindow::settingChanged(const QString& key)
{
    for (const Swatch& s : m_swatches)
        if (s.key == key)
            refreshSwatch(s);
    for (Threshold t : oq::allThresholds) {
        const QLineEdit* edit = m_fields[size_t(t)].edit;
        // Leave a field alone while the user is typing in it.
        if (oq::thresholdKey(t) == key && !(edit->hasFocus() && edit->isModified()))
            refreshField(t);
    }
}

void LivoraPreferencesWindow::showWindow()
{
    show();
    raise();
    activateWindow();
}

void LivoraPreferencesWindow::fitToScreen()
{
    const QScreen* shown = screen();
    if (!shown || !m_scroll->widget())
        return;
    // As large as the boxes want, no larger than the screen's free area less room for the frame.
    const QSize page = m_scroll->widget()->sizeHint();
    const int chrome = sizeHint().height() - m_scroll->sizeHint().height();
    const QRect free = shown->availableGeometry();
    const int frame = 48;
    const int height = std::min(page.height() + chrome, free.height() - frame);
    const int scrollBar = page.height() + chrome > height ? m_scroll->verticalScrollBar()->sizeHint().width() : 0;
    const int width = std::min(page.width() + scrollBar + layout()->contentsMargins().left()
            + layout()->contentsMargins().right(), free.width() - frame);
    resize(width, height);
}

void LivoraPreferencesWindow::showEvent(QShowEvent* event)
{
    if (!event->spontaneous() && !m_fitted) {
        m_fitted = true;
        fitToScreen();
    }
    QDialog::showEvent(event);
}

void LivoraPreferencesWindow::windowWillClose()
{
    if (sharedColorDialogExists())
        sharedColorDialog()->close();
    m_activeColorKey.clear();
}

void LivoraPreferencesWindow::done(int result)
{
    // Commit what is being typed; closing must not lose an entry.
    for (Threshold t : oq::allThresholds)
        commitField(t);
    windowWillClose();
    QDialog::done(result);
}

// Here rather than in the target's shared moc file: see ColorManager.cpp.
#include "moc_LivoraPreferencesWindow.cpp"
