#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "app/controller/AppDelegate.h"
#include "app/controller/ErrorPresenter.h"
#include "device/DeviceError.h"
#include "parser/OQParser.h"
#include "platform/SettingsStore.h"
#include "platform/StringTable.h"
#include "TestDevice.h"

using namespace oq;

namespace {
class ErrorPresentationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setLanguage(QStringLiteral("en"));
        SettingsStore::useFile(dir.filePath(QStringLiteral("oq.conf")));
        controller = std::make_unique<AppDelegate>();
    }
    void TearDown() override { setLanguage({}); }
    QTemporaryDir dir;
    std::unique_ptr<AppDelegate> controller;
};

ErrorRecord parserError()
{
    return ErrorRecord(QLatin1String(OQParserErrorDomain), OQParserErrorCode,
        {{NSLocalizedDescriptionKey, QStringLiteral("parse_prot: no protocol found")}});
}
} // namespace

TEST_F(ErrorPresentationTest, DeviceErrorWithoutADeviceGetsTheDetachedTexts)
{
    const auto incoming = device::timeoutError();
    const auto shown = controller->willPresentError(incoming);
    EXPECT_EQ(shown.domain(), incoming.domain());
    EXPECT_EQ(shown.code(), -3);
    EXPECT_EQ(shown.localizedDescription(), localized(QStringLiteral("errors.device.detached.description")));
    EXPECT_EQ(shown.localizedFailureReason(), QStringLiteral("Timeout"));
    EXPECT_EQ(shown.localizedRecoverySuggestion(), localized(QStringLiteral("errors.device.detached.recovery_suggestion")));
    EXPECT_EQ(shown.underlyingError(), incoming);
}

TEST_F(ErrorPresentationTest, DeviceErrorWhileConnectedKeepsItsOwnWords)
{
    controller->setDevice(makeDevice<TestDevice>());
    const auto incoming = device::errorWithFTStatus(4);
    EXPECT_EQ(controller->willPresentError(incoming), incoming);
}

TEST_F(ErrorPresentationTest, ParserErrorsGetTheParsingTextsAndOptionsOnlyWithATarget)
{
    const auto plain = controller->willPresentError(parserError());
    EXPECT_EQ(plain.code(), 1);
    EXPECT_EQ(plain.localizedDescription(), localized(QStringLiteral("errors.protocol.parsing.description")));
    EXPECT_EQ(plain.localizedFailureReason(), QStringLiteral("parse_prot: no protocol found"));
    EXPECT_TRUE(plain.localizedRecoveryOptions().isEmpty());
    EXPECT_TRUE(plain.localizedRecoverySuggestion().isEmpty());

    const auto withTarget = controller->willPresentError(
        parserError().errorByAddingUserInfo({{QLatin1String(OQProtocolTargetURL), QStringLiteral("file:///tmp/p.txt")}}));
    EXPECT_EQ(withTarget.localizedRecoveryOptions(),
        (QStringList{localized(QStringLiteral("errors.protocol.parsing.recovery_option_1")),
            localized(QStringLiteral("errors.recovery_option_cancel"))}));
    EXPECT_EQ(withTarget.userInfo().value(QLatin1String(OQProtocolTargetURL)).toString(), QStringLiteral("file:///tmp/p.txt"));
    EXPECT_EQ(withTarget.userInfo().value(NSRecoveryAttempterErrorKey).value<QObject*>(), controller.get());
}

TEST_F(ErrorPresentationTest, OtherDomainsPassUnchangedAndThePresenterShowsTheRewrite)
{
    const ErrorRecord other(QStringLiteral("elsewhere"), 42, {{NSLocalizedDescriptionKey, QStringLiteral("x")}});
    EXPECT_EQ(controller->willPresentError(other), other);

    ErrorPresenter::s_autoAnswer = -1;
    ErrorPresenter::present(controller.get(), nullptr, device::timeoutError());
    EXPECT_EQ(ErrorPresenter::s_lastShown.localizedDescription(), localized(QStringLiteral("errors.device.detached.description")));
    ErrorPresenter::s_autoAnswer = -2;
}
