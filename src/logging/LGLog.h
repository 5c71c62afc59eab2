#pragma once
// The logging dispatcher.
#include <QString>

#include "logging/LGFormat.h"

enum LGLogFlag : unsigned long {
    LGLogFlagError = 1,
    LGLogFlagWarning = 2,
    LGLogFlagInfo = 4,
    LGLogFlagDebug = 8,
    LGLogFlagVerbose = 16,
};

enum LGLogLevel : unsigned long {
    LGLogLevelOff = 0,
    LGLogLevelError = 1,
    LGLogLevelWarning = 3,
    LGLogLevelInfo = 7,
    LGLogLevelDebug = 15,
    LGLogLevelVerbose = 31,
    LGLogLevelAll = ~0UL,
};

class LGLog {
public:
    // An absent format logs nothing.
    template <typename... Args>
    static void log(bool asynchronous, unsigned long level, unsigned long flag, long context, const char* file,
        const char* function, unsigned line, const void* tag, const char* format, const Args&... args)
    {
        if (!format)
            return;
        logText(asynchronous, level, flag, context, file, function, line, tag, LGFormat(format, {LGArg(args)...}));
    }

    static void logText(bool asynchronous, unsigned long level, unsigned long flag, long context, const char* file,
        const char* function, unsigned line, const void* tag, const QString& message);

    // Returns when every message queued before the call has been handled and flushed.
    static void flushLog();
};
