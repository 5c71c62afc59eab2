#include "DoseRateText.h"

#include <cstring>

#include "platform/CLocale.h"

QString doseRateText(double rate)
{
    // Rates repeat (they follow the pulse counts), and printf is the costly part of an export's row.
    struct Entry {
        quint64 bits = 0;
        QString text;
    };
    static constexpr quint64 kEntries = 61;
    thread_local Entry recent[kEntries];
    quint64 bits;
    std::memcpy(&bits, &rate, sizeof bits);
    Entry& e = recent[(bits ^ (bits >> 31)) % kEntries];
    if (e.text.isNull() || e.bits != bits)
        e = {bits, QString::fromStdString(oq::cFormat("%.6f", rate))};
    return e.text;
}
