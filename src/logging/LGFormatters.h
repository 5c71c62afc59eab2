#pragma once
// Formatters of the file loggers.
#include <QString>

#include <mutex>
#include <set>

#include "logging/LGLogger.h"

// "time stamp  text", the time stamp in UTC as "yyyy/MM/dd HH:mm:ss:SSS".
class LGLogFileFormatterDefault : public LGLogFormatter {
public:
    std::optional<QString> formatLogMessage(const LGLogMessage& message) const override;
    static QString stringFromDate(const QDateTime& date);
};

// A set of context numbers that any thread may change.
class LGLoggingContextSet {
public:
    void addToSet(long context);
    void removeFromSet(long context);
    bool isInSet(long context) const;
    std::set<long> currentSet() const;

private:
    mutable std::mutex m_mutex;
    std::set<long> m_set;
};

// Passes every message's own text except for the contexts on its list.
class LGContextDenylistFilterLogFormatter : public LGLogFormatter {
public:
    void addToDenylist(long context) { m_contexts.addToSet(context); }
    void addToBlacklist(long context) { addToDenylist(context); }
    void removeFromDenylist(long context) { m_contexts.removeFromSet(context); }
    bool isOnDenylist(long context) const { return m_contexts.isInSet(context); }
    std::set<long> denylist() const { return m_contexts.currentSet(); }

    std::optional<QString> formatLogMessage(const LGLogMessage& message) const override;

private:
    LGLoggingContextSet m_contexts;
};
