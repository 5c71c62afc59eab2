#include "LGLog.h"

#include <cstdio>

// Provisional: until the dispatcher lands, messages go to standard error.
void LGLog::logText(bool, unsigned long, unsigned long flag, long context, const char*, const char*, unsigned,
    const void*, const QString& message)
{
    if (context != 0)
        return;
    std::fprintf(stderr, "[%lu] %s\n", flag, message.toUtf8().constData());
}

void LGLog::flushLog() { std::fflush(stderr); }
