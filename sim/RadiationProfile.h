#pragma once
// Dose-rate samples for the value lines, and the text of a value line.
#include <QByteArray>

#include <random>

#include "SimConfig.h"

namespace oq::sim {

class RadiationProfile {
public:
    explicit RadiationProfile(ProfileSpec spec = {});

    struct Sample {
        double rate = 0;  // uSv/h
        QByteArray raw;   // when set, sent instead of a formatted value
    };
    Sample next();

private:
    ProfileSpec m_spec;
    std::mt19937 m_rng;
    double m_level = 0; // log of the walk's background
    long m_index = 0;
};

// "0,123 uSv/h" for a rate, "12,5 mrem" for a dose; `amount` in uSv/h or uSv. No line end.
QByteArray formatValue(double amount, bool rate, const ValueFormat& format);

} // namespace oq::sim
