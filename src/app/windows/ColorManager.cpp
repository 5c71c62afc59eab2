#include "ColorManager.h"

#include <cmath>

#include <QApplication>
#include <QEvent>
#include <QMutexLocker>

#include "logging/Log.h"
#include "platform/Dispatch.h"
#include "platform/SettingsKeys.h"
#include "platform/SettingsStore.h"
#include "readings/StoredSettings.h"

namespace {

using Level = ColorManager::Level;
using Kind = oq::LevelColor;
using oq::levelForValue;


QPalette applicationPalette()
{
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) ? QGuiApplication::palette() : QPalette();
}

} // namespace

QColor ColorManager::fontColorForValue(double value, long long mode)
{
    return oq::levelColor(levelForValue(value, mode), Kind::Font).toQColor(applicationPalette());
}

QColor ColorManager::backgroundColorForValue(double value, long long mode)
{
    return oq::levelColor(levelForValue(value, mode), Kind::Background).toQColor(applicationPalette());
}

QColor ColorManager::barColorForValue(double value)
{
    return oq::levelColor(levelForValue(value, 1), Kind::Bar).toQColor(applicationPalette());
}

ColorManager::ColorManager(QObject* parent)
    : QObject(parent)
{
    // Writers on other threads reach us queued on the main thread.
    connect(&oq::SettingsStore::shared(), &oq::SettingsStore::changed, this, &ColorManager::defaultsChanged);
    calculateColors();
}

std::optional<double> ColorManager::value() const
{
    QMutexLocker lock(&m_valueMutex);
    return m_value;
}

void ColorManager::setValue(std::optional<double> value)
{
    {
        QMutexLocker lock(&m_valueMutex);
        m_value = value;
    }
    emit valueChanged();
    calculateColors();
}

QVariant ColorManager::valueVariant() const
{
    const auto v = value();
    return v ? QVariant(*v) : QVariant();
}

void ColorManager::setValueVariant(const QVariant& value)
{
    bool ok = false;
    const double d = value.toDouble(&ok);
    setValue(value.isValid() && ok ? std::optional<double>(d) : std::nullopt);
}

void ColorManager::setMode(int mode)
{
    m_mode = mode;
    emit modeChanged(mode);
    calculateColors();
}

void ColorManager::defaultsChanged() { calculateColors(); }

void ColorManager::calculateColors()
{
    if (!oq::isMainThread()) {
        // One pending run serves any number of requests, since it reads the state when it runs.
        if (!m_scheduled.exchange(true))
            QMetaObject::invokeMethod(this, &ColorManager::calculateColors, Qt::QueuedConnection);
        return;
    }
    m_scheduled = false;

    const std::optional<double> v = value();
    const double x = v.value_or(0.0);
    const long long m = mode();
    const QPalette palette = applicationPalette();

    const Level level = levelForValue(x, m);
    const QColor font = oq::levelColor(level, Kind::Font).toQColor(palette);
    const oq::ArchivedColor background = v ? oq::levelColor(level, Kind::Background) : oq::ArchivedColor::windowBackground();
    const QColor bar = barColorForValue(x);

    const bool levelChange = level != m_level;
    const bool fontChange = font != m_fontColor;
    const QColor backgroundColor = background.toQColor(palette);
    const bool backgroundChange = backgroundColor != m_backgroundColor;
    const bool barChange = bar != m_barColor;
    m_level = level;
    m_fontColor = font;
    m_backgroundColor = backgroundColor;
    m_barColor = bar;
    m_windowBackground = background == oq::ArchivedColor::windowBackground();
    applyBackground();

    if (levelChange)
        emit levelChanged(level);
    if (fontChange)
        emit fontColorChanged(font);
    if (backgroundChange)
        emit backgroundColorChanged(backgroundColor);
    if (barChange)
        emit barColorChanged(bar);
}

void ColorManager::setBackgroundView(QWidget* view)
{
    if (view == m_backgroundView)
        return;
    watchWindowOf(nullptr);
    if (m_backgroundView)
        m_backgroundView->removeEventFilter(this);
    m_backgroundView = view;
    if (view) {
        view->setAutoFillBackground(true);
        view->installEventFilter(this);
        watchWindowOf(view);
    }
    emit backgroundViewChanged();
    calculateColors();
}

void ColorManager::watchWindowOf(QWidget* view)
{
    // Only top-level windows hear of a new desktop theme, so the view's window is watched.
    if (m_watchedWindow)
        m_watchedWindow->removeEventFilter(this);
    m_watchedWindow = view ? view->window() : nullptr;
    if (m_watchedWindow && m_watchedWindow != view)
        m_watchedWindow->installEventFilter(this);
}

void ColorManager::applyBackground()
{
    if (!m_backgroundView || !m_backgroundColor.isValid())
        return;
    QPalette palette = m_backgroundView->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::Window, m_backgroundColor);
    m_backgroundView->setPalette(palette);
    // An application style sheet (a dark one given with -stylesheet) paints over the palette; a
    // level's own colour must win over it, the window's standard one must not.
    const QString name = m_backgroundView->objectName();
    m_backgroundView->setStyleSheet(m_windowBackground || name.isEmpty()
            ? QString()
            : QStringLiteral("#%1 { background-color: %2; }").arg(name, styleSheetColor(m_backgroundColor)));
}

double contrastRatio(const QColor& a, const QColor& b)
{
    const auto luminance = [](const QColor& c) {
        const auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor legibleOn(const QColor& text, const QColor& background, double ratio)
{
    if (!text.isValid() || !background.isValid() || contrastRatio(text, background) >= ratio)
        return text;
    // Towards black on a light background, towards white on a dark one, in small steps.
    const QColor end = contrastRatio(Qt::black, background) >= contrastRatio(Qt::white, background) ? QColor(Qt::black)
                                                                                                   : QColor(Qt::white);
    QColor c = text;
    for (int step = 1; step <= 20 && contrastRatio(c, background) < ratio; ++step) {
        const double t = step / 20.0;
        // In whole steps of 8 bits, as it is drawn.
        c = QColor(qRound(text.red() + (end.red() - text.red()) * t), qRound(text.green() + (end.green() - text.green()) * t),
                   qRound(text.blue() + (end.blue() - text.blue()) * t), text.alpha());
    }
    return c;
}

QString styleSheetColor(const QColor& color)
{
    return QStringLiteral("rgba(%1, %2, %3, %4)").arg(color.red()).arg(color.green()).arg(color.blue()).arg(color.alpha());
}

bool ColorManager::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_backgroundView && event->type() == QEvent::ParentChange)
        watchWindowOf(m_backgroundView);
    if ((watched == m_watchedWindow || watched == m_backgroundView) && event->type() == QEvent::ApplicationPaletteChange)
        QMetaObject::invokeMethod(this, &ColorManager::calculateColors, Qt::QueuedConnection);
    return QObject::eventFilter(watched, event);
}

// Here rather than in the target's shared moc file, so that programs that only ask for levels do
// not link the window side of this class.
#include "moc_ColorManager.cpp"
