#pragma once
// The conversions between the counter's online lines and the figure in the main window.
//
// Values travel in micro-sievert: μSv/h for a dose-rate line, μSv for a dose line, whatever unit
// the counter itself displays.
#include <QObject>
#include <QRegularExpression>
#include <QString>

#include <memory>
#include <optional>

#include "readings/NumberFormatter.h"

// Reads one online line ("0,123 uSv/h", "12,5 mrem") into micro-sievert. One instance per run of
// online mode, used on that run's thread only.
class DeviceOnlineOutputValueTransformer : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString unit READ unit NOTIFY unitChanged)
public:
    // The single-precision value nearest 0.01, as the counter's firmware scales rem.
    static constexpr double remFactor = double(0.01f);

    explicit DeviceOnlineOutputValueTransformer(QObject* parent = nullptr);

    // The reading of a line that holds one value and nothing else, or none for any other line
    // (empty, an echo, a garbled line). An absent line gives 0 and leaves `unit` as it was.
    std::optional<double> transformedValue(const std::optional<QString>& line);

    // "Sv" or "rem" after a line with a reading; null after a line without one.
    QString unit() const { return m_unit; }
    const oq::NumberFormatter& formatter() const { return m_formatter; }

signals:
    void unitChanged();

private:
    void setUnit(const QString& unit);

    oq::NumberFormatter m_formatter;
    QRegularExpression m_pattern;
    QString m_unit;
};

// Formats a micro-sievert value as display text in sievert or rem, choosing the plain, milli or
// micro form by size. Main thread only.
class DisplayValueTransformer {
public:
    virtual ~DisplayValueTransformer() = default;

    // "---" for none.
    QString transformedValue(std::optional<double> microValue) const;

    float valueFactor() const { return m_valueFactor; }
    void setValueFactor(float factor) { m_valueFactor = factor; }
    const oq::NumberFormatter& numberFormatter() const { return m_numberFormatter; }
    oq::NumberFormatter& numberFormatter() { return m_numberFormatter; }
    // Each holds one "%@" for the formatted number.
    QString singleFormat() const { return m_singleFormat; }
    void setSingleFormat(const QString& f) { m_singleFormat = f; }
    QString milliFormat() const { return m_milliFormat; }
    void setMilliFormat(const QString& f) { m_milliFormat = f; }
    QString microFormat() const { return m_microFormat; }
    void setMicroFormat(const QString& f) { m_microFormat = f; }

    // True for the sievert texts (the unit was exactly "Sv"), false for rem.
    bool isSievert() const { return m_valueFactor == 1.0f; }

protected:
    // `unit` exactly "Sv" selects sievert; anything else, none included, rem. `suffix` is "/h" or "".
    DisplayValueTransformer(const QString& unit, const QString& suffix);

private:
    float m_valueFactor = 100.0f;
    oq::NumberFormatter m_numberFormatter;
    QString m_singleFormat, m_milliFormat, m_microFormat;
};

// μSv/h in, "1.234 mSv/h" or "56.0 μrem/h" out.
class DoseRateValueTransformer : public DisplayValueTransformer {
public:
    // Rem, as with no unit.
    DoseRateValueTransformer();
    static std::unique_ptr<DoseRateValueTransformer> initWithUnit(const QString& unit) { return std::make_unique<DoseRateValueTransformer>(unit); }
    explicit DoseRateValueTransformer(const QString& unit);
};

// μSv in, "1.234 mSv" or "56.0 μrem" out.
class DoseValueTransformer : public DisplayValueTransformer {
public:
    // Rem, as with no unit.
    DoseValueTransformer();
    static std::unique_ptr<DoseValueTransformer> initWithUnit(const QString& unit) { return std::make_unique<DoseValueTransformer>(unit); }
    explicit DoseValueTransformer(const QString& unit);
};
