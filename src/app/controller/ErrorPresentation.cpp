// How errors reach the user: rewritten into the user's words, then shown in one place.
#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <QPointer>

#include "app/controller/ErrorPresenter.h"
#include "app/controller/OQAppDelegate.h"
#include "device/DeviceError.h"
#include "logging/Log.h"
#include "parser/OQParser.h"
#include "platform/StringTable.h"

using namespace oq;

// The user-info key under which a protocol's target file travels with its parse error.
const char* const OQProtocolTargetURL = "OQProtocolTargetURL";

ErrorRecord OQAppDelegate::willPresentError(const ErrorRecord& error, const std::shared_ptr<OQDevice>& counter)
{
    if (error.domain() == QLatin1String(OQParserErrorDomain)) {
        QVariantMap info{
            {NSUnderlyingErrorKey, QVariant::fromValue(error)},
            {NSLocalizedDescriptionKey, localized(QStringLiteral("errors.protocol.parsing.description"))},
            {NSLocalizedFailureReasonErrorKey, error.localizedDescription()},
        };
        const auto target = error.userInfo().constFind(QLatin1String(OQProtocolTargetURL));
        if (target != error.userInfo().constEnd()) {
            info.insert(NSLocalizedRecoverySuggestionErrorKey,
                localized(QStringLiteral("errors.protocol.parsing.recovery_suggestion")));
            info.insert(NSLocalizedRecoveryOptionsErrorKey,
                QStringList{localized(QStringLiteral("errors.protocol.parsing.recovery_option_1")),
                    localized(QStringLiteral("errors.recovery_option_cancel"))});
            info.insert(NSRecoveryAttempterErrorKey, QVariant::fromValue(static_cast<QObject*>(this)));
            info.insert(QLatin1String(OQProtocolTargetURL), *target);
        }
        return ErrorRecord(error.domain(), error.code(), info);
    }
    if (error.domain() == device::OQDeviceErrorDomain) {
        // Another counter may be shown by now: what matters is whether this one is still there.
        const auto subject = counter ? counter : device();
        if (!hasDevice(subject) || !subject->connected()) {
            LGLogWarn("device detached while transfering data");
            return ErrorRecord(error.domain(), error.code(),
                {{NSUnderlyingErrorKey, QVariant::fromValue(error)},
                    {NSLocalizedDescriptionKey, localized(QStringLiteral("errors.device.detached.description"))},
                    {NSLocalizedFailureReasonErrorKey, error.localizedDescription()},
                    {NSLocalizedRecoverySuggestionErrorKey,
                        localized(QStringLiteral("errors.device.detached.recovery_suggestion"))}});
        }
        // Still connected: the error's own words are the most useful thing to show.
        return error;
    }
    return error;
}

int ErrorPresenter::present(OQAppDelegate* controller, QWidget* parent, const ErrorRecord& incoming,
    const std::shared_ptr<OQDevice>& counter)
{
    const ErrorRecord error = controller ? controller->willPresentError(incoming, counter) : incoming;
    QMessageBox box(parent);
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(localized(QStringLiteral("ui.app.name")));
    box.setText(error.localizedDescription());
    QStringList details;
    if (!error.localizedFailureReason().isEmpty())
        details << error.localizedFailureReason();
    if (!error.localizedRecoverySuggestion().isEmpty())
        details << error.localizedRecoverySuggestion();
    box.setInformativeText(details.join(QStringLiteral("\n\n")));
    const QStringList options = error.localizedRecoveryOptions();
    QList<QAbstractButton*> buttons;
    if (options.isEmpty()) {
        box.setStandardButtons(QMessageBox::Ok);
    } else {
        // The first option is the default; the last one ("Cancel") dismisses.
        for (int i = 0; i < options.size(); ++i) {
            const auto role = i == options.size() - 1 && options.size() > 1 ? QMessageBox::RejectRole : QMessageBox::AcceptRole;
            buttons << box.addButton(options[i], role);
        }
        box.setDefaultButton(qobject_cast<QPushButton*>(buttons.first()));
    }
    s_lastShown = error;
    if (s_autoAnswer >= -1) {
        box.show();
        box.close();
        return s_autoAnswer;
    }
    box.exec();
    return int(buttons.indexOf(box.clickedButton()));
}

ErrorRecord ErrorPresenter::s_lastShown;
int ErrorPresenter::s_autoAnswer = -2;
