#pragma once
// Call-site logging macros. Every unit logs through these; nothing else prints diagnostics.
//
//   LGLogError("failed opening device: %i", status);   // synchronous
//   LGLogWarn(...), LGLogInfo(...)                       // asynchronous
//   LGLogDebug(...), LGLogVerbose(...)                   // made only when the unit's level admits them
//   LGLogDevice("%@", line);                             // counter traffic: device log only
//
// A unit may define LG_LOG_LEVEL_DEF before including this header; the default is info.
#include "logging/LGLog.h"

#ifndef LG_LOG_LEVEL_DEF
#define LG_LOG_LEVEL_DEF LGLogLevelInfo
#endif

#define LG_LOG_MAYBE(async, lvl, flg, ctx, fmt, ...)                                                        \
    do {                                                                                                   \
        if ((static_cast<unsigned long>(lvl) & static_cast<unsigned long>(flg)) != 0)                      \
            LGLog::log(async, lvl, flg, ctx, __FILE__, __func__, __LINE__, nullptr, fmt __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)

#define LGLogError(fmt, ...) LG_LOG_MAYBE(false, LG_LOG_LEVEL_DEF, LGLogFlagError, 0, fmt __VA_OPT__(, ) __VA_ARGS__)
#define LGLogWarn(fmt, ...) LG_LOG_MAYBE(true, LG_LOG_LEVEL_DEF, LGLogFlagWarning, 0, fmt __VA_OPT__(, ) __VA_ARGS__)
#define LGLogInfo(fmt, ...) LG_LOG_MAYBE(true, LG_LOG_LEVEL_DEF, LGLogFlagInfo, 0, fmt __VA_OPT__(, ) __VA_ARGS__)
#define LGLogDebug(fmt, ...) LG_LOG_MAYBE(true, LG_LOG_LEVEL_DEF, LGLogFlagDebug, 0, fmt __VA_OPT__(, ) __VA_ARGS__)
#define LGLogVerbose(fmt, ...) LG_LOG_MAYBE(true, LG_LOG_LEVEL_DEF, LGLogFlagVerbose, 0, fmt __VA_OPT__(, ) __VA_ARGS__)

// Counter traffic: flag info, level verbose, context 80.
inline constexpr long OQDeviceLogContext = 80;
#define LGLogDevice(fmt, ...) \
    LG_LOG_MAYBE(true, LGLogLevelVerbose, LGLogFlagInfo, OQDeviceLogContext, fmt __VA_OPT__(, ) __VA_ARGS__)
