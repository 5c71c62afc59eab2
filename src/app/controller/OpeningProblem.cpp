#include "OpeningProblem.h"

#include "platform/StringTable.h"

QString openingProblemText(const oq::ft::OpenFailure& failure)
{
    using oq::ft::OpenFailure;
    const auto text = [](const char* key) { return oq::localized(QString::fromLatin1(key)); };
    switch (failure.kind) {
    case OpenFailure::None:
        return {};
    case OpenFailure::Vanished:
        return text("window.open_failure.vanished").arg(failure.path);
    case OpenFailure::NotATerminal:
        return text("window.open_failure.not_a_terminal").arg(failure.path);
    case OpenFailure::PermissionDenied:
        return failure.detail.isEmpty() ? text("window.open_failure.permission").arg(failure.path)
                                        : text("window.open_failure.permission_group").arg(failure.path, failure.detail);
    case OpenFailure::InUse:
        return failure.detail.isEmpty() ? text("window.open_failure.in_use_unknown").arg(failure.path)
                                        : text("window.open_failure.in_use").arg(failure.path, failure.detail);
    case OpenFailure::LineSettingsRefused:
        return text("window.open_failure.line_settings").arg(failure.path, failure.detail);
    case OpenFailure::Other:
        break;
    }
    return text("window.open_failure.other").arg(failure.path, failure.detail);
}
