#pragma once
// The one place through which the application shows an error to the user: a message box with the
// description, failure reason, recovery suggestion and the recovery options as buttons.
#include "platform/ErrorRecord.h"

#include <memory>

class OQAppDelegate;
class OQDevice;
class QWidget;

extern const char* const OQProtocolTargetURL;

class ErrorPresenter {
public:
    // Shows `error` after the controller's rewriting (about `counter`, else the one shown); returns
    // the index of the recovery option chosen, or -1 when there were none or the box was dismissed.
    static int present(OQAppDelegate* controller, QWidget* parent, const oq::ErrorRecord& error,
        const std::shared_ptr<OQDevice>& counter = nullptr);

    // For tests: the error as last shown, and an answer given without waiting for a click
    // (-2 = wait for the user).
    static oq::ErrorRecord s_lastShown;
    static int s_autoAnswer;
};
