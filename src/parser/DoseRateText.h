#pragma once
// A dose rate in uSv/h as the machine texts (event text, CSV) write it: C's "%.6f" in the C
// locale.
#include <string>
#include <QString>

QString doseRateText(double rate);
// The same text appended to `out`.
void appendDoseRateText(std::string& out, double rate);
