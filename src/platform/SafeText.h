#pragma once
// Texts that come from a counter (serial number, firmware) are the counter's to choose: shown on a
// terminal they must not act on it.
#include <QString>

namespace oq {

// `text` with each control character (C0, DEL, C1) shown as \xNN, so that it prints as it is.
QString terminalSafe(const QString& text);

} // namespace oq
