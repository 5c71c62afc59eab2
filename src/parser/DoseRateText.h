#pragma once
// A dose rate in uSv/h as the machine texts (event text, CSV) write it: C's "%.6f" in the C
// locale.
#include <QString>

QString doseRateText(double rate);
