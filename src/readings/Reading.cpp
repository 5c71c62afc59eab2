#include "readings/Reading.h"

namespace oq {

QString counterKey(const QString& serial, const QString& port)
{
    return serial.isEmpty() ? port : serial;
}

} // namespace oq
