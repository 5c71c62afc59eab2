#include <gtest/gtest.h>

#include <QSignalSpy>

#include "logging/LGFormat.h"
#include "platform/ErrorRecord.h"
#include "platform/ProgressRecord.h"
#include "platform/SafeText.h"
#include "platform/StringTable.h"

using namespace oq;

TEST(ErrorRecord, AddingUserInfoKeepsDomainAndCodeAndReplacesKeys)
{
    ErrorRecord e(QStringLiteral("d"), -3, {{NSLocalizedDescriptionKey, QStringLiteral("Timeout")}, {QStringLiteral("x"), 1}});
    auto f = e.errorByAddingUserInfo({{QStringLiteral("x"), 2}, {QStringLiteral("y"), 3}});
    EXPECT_EQ(f.domain(), QStringLiteral("d"));
    EXPECT_EQ(f.code(), -3);
    EXPECT_EQ(f.localizedDescription(), QStringLiteral("Timeout"));
    EXPECT_EQ(f.userInfo().value(QStringLiteral("x")).toInt(), 2);
    EXPECT_EQ(f.userInfo().value(QStringLiteral("y")).toInt(), 3);
    EXPECT_EQ(e.userInfo().value(QStringLiteral("x")).toInt(), 1); // the original is untouched

    auto wrapped = ErrorRecord(QStringLiteral("o"), 1, {{NSUnderlyingErrorKey, QVariant::fromValue(e)}});
    ASSERT_TRUE(wrapped.hasUnderlyingError());
    EXPECT_EQ(wrapped.underlyingError(), e);
}

TEST(ProgressRecord, CancelSetsFlagOnceAndSignals)
{
    ProgressRecord p;
    EXPECT_EQ(p.totalUnitCount(), -1);
    EXPECT_TRUE(p.isIndeterminate());
    QSignalSpy spy(&p, &ProgressRecord::cancelledChanged);
    p.cancel();
    p.cancel();
    EXPECT_TRUE(p.isCancelled());
    EXPECT_EQ(spy.count(), 1);
    p.setTotalUnitCount(34);
    p.setCompletedUnitCount(17);
    EXPECT_DOUBLE_EQ(p.fractionCompleted(), 0.5);
}

TEST(StringTable, LooksUpByLanguageAndGivesEmptyForMissingKeys)
{
    setLanguage(QStringLiteral("en"));
    EXPECT_FALSE(localized(QStringLiteral("errors.device.timeout")).isEmpty());
    EXPECT_TRUE(localized(QStringLiteral("no.such.key")).isEmpty());
    const QString english = localized(QStringLiteral("errors.recovery_option_cancel"));
    setLanguage(QStringLiteral("de"));
    EXPECT_EQ(localized(QStringLiteral("errors.recovery_option_cancel")), QStringLiteral("Abbrechen"));
    EXPECT_NE(english, QStringLiteral("Abbrechen"));
    setLanguage({});
}

TEST(StringTable, EveryKeyHasBothLanguages)
{
    for (const char* key : {"device.progress.connection", "device.progress.loading_device_info",
             "device.progress.loading_calibration", "device.progress.loading_hwinfo", "device.progress.loading_statc",
             "device.progress.loading_protocol", "device.progress.set_date", "errors.device.connection.description",
             "errors.device.firmware.description", "errors.device.timeout", "errors.device.detached.description",
             "errors.device.detached.recovery_suggestion", "errors.protocol.parsing.description",
             "errors.protocol.parsing.recovery_suggestion", "errors.protocol.parsing.recovery_option_1",
             "errors.recovery_option_cancel"}) {
        for (const char* lang : {"en", "de"}) {
            setLanguage(QString::fromLatin1(lang));
            EXPECT_FALSE(localized(QString::fromLatin1(key)).isEmpty()) << key << " " << lang;
        }
    }
    setLanguage({});
}

TEST(LGFormat, ConversionsAndHostileFormats)
{
    EXPECT_EQ(LGFormat("Driver return code: %i", {7}), QStringLiteral("Driver return code: 7"));
    EXPECT_EQ(LGFormat("%@ %@", {QStringLiteral("a"), 5}), QStringLiteral("a 5"));
    EXPECT_EQ(LGFormat("%lu|%ld|%s|%.2f|%%", {5u, -4L, "x", 2.005}), QStringLiteral("5|-4|x|2.00|%"));
    EXPECT_EQ(LGFormat("%04X", {0xabu}), QStringLiteral("00AB"));
    EXPECT_EQ(LGFormat("%i %i", {1}), QStringLiteral("1 ")); // a missing argument prints nothing
    EXPECT_EQ(LGFormat("100%", {}), QStringLiteral("100%"));
    EXPECT_EQ(LGFormat("%y", {}), QStringLiteral("%y"));
    EXPECT_EQ(LGFormat(nullptr, {}), QString());
    EXPECT_EQ(LGFormat("%99999999d", {1}).size() < 1000, true);
    const char* null = nullptr;
    EXPECT_EQ(LGFormat("%s", {null}), QStringLiteral("(null)"));
}

TEST(TerminalSafe, ControlCharactersAreShownNotActedOn)
{
    EXPECT_EQ(terminalSafe(QStringLiteral("A-10423 μSv")), QStringLiteral("A-10423 μSv"));
    const QString hostile = QStringLiteral("X\x1b]0;P\a\t\r\n\x7f") + QChar(0x9b); // 0x9b: the one-byte CSI
    EXPECT_EQ(terminalSafe(hostile), QStringLiteral("X\\x1b]0;P\\x07\\x09\\x0d\\x0a\\x7f\\x9b"));
}
