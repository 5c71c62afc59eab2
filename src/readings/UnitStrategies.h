#pragma once
// The views through which the preferences window reads and writes the four alarm thresholds.
// The settings store always holds them in μSv/h (rate) and mSv (dose); a strategy shows them in the
// unit the user chose and names that unit. Strategies read the store at every call and cache nothing.
#include <QString>

#include <array>
#include <optional>

namespace oq {

enum class Threshold { WarningRate, DangerRate, WarningDose, DangerDose };
inline constexpr std::array<Threshold, 4> allThresholds{
    Threshold::WarningRate, Threshold::DangerRate, Threshold::WarningDose, Threshold::DangerDose};
// The settings key that stores `threshold`.
QString thresholdKey(Threshold threshold);
bool isRateThreshold(Threshold threshold);

} // namespace oq

// A plain holder of four numbers with no unit; it never touches the settings store.
class PreferenceUnitStrategy {
public:
    virtual ~PreferenceUnitStrategy() = default;

    // Empty here; "mSv" / "mrem" and "μSv/h" / "μrem/h" (with U+03BC) in the derived strategies.
    virtual QString doseUnit() const { return QStringLiteral(""); }
    virtual QString rateUnit() const { return QStringLiteral(""); }
    QString unitFor(oq::Threshold threshold) const { return oq::isRateThreshold(threshold) ? rateUnit() : doseUnit(); }

    // The shown value, or none when there is nothing to show.
    virtual std::optional<double> value(oq::Threshold threshold) const;
    virtual void setValue(oq::Threshold threshold, double shown);

    std::optional<double> warningRateValue() const { return value(oq::Threshold::WarningRate); }
    std::optional<double> dangerRateValue() const { return value(oq::Threshold::DangerRate); }
    std::optional<double> warningDoseValue() const { return value(oq::Threshold::WarningDose); }
    std::optional<double> dangerDoseValue() const { return value(oq::Threshold::DangerDose); }
    void setWarningRateValue(double v) { setValue(oq::Threshold::WarningRate, v); }
    void setDangerRateValue(double v) { setValue(oq::Threshold::DangerRate, v); }
    void setWarningDoseValue(double v) { setValue(oq::Threshold::WarningDose, v); }
    void setDangerDoseValue(double v) { setValue(oq::Threshold::DangerDose, v); }

private:
    std::array<std::optional<double>, 4> m_values;
};

// Sievert: shows and stores the numbers unchanged (mSv, μSv/h).
class SvUnitStrategy : public PreferenceUnitStrategy {
public:
    QString doseUnit() const override;
    QString rateUnit() const override;
    std::optional<double> value(oq::Threshold threshold) const override;
    void setValue(oq::Threshold threshold, double shown) override;
};

// Rem: 1 rem = 0.01 Sv with like prefixes, so mSv -> mrem and μSv/h -> μrem/h are both × 100.
class RemUnitStrategy : public PreferenceUnitStrategy {
public:
    QString doseUnit() const override;
    QString rateUnit() const override;
    std::optional<double> value(oq::Threshold threshold) const override;
    void setValue(oq::Threshold threshold, double shown) override;

    // Stored to shown, in single precision: a stored 2.2 shows as exactly 220.
    static float outValue(double stored);
    // Shown to stored: single-precision input widened and scaled in double precision.
    static double inValue(double shown);
};
