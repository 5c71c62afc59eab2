#pragma once
// The history's settings, read at the moment of use from the shared settings store.
namespace oq::history {

// Recording into the history is on unless the user switched it off.
bool recordingEnabled();
// Days raw readings are kept: the stored number when it is a whole number of at least 1, else 90.
int retentionDays();

} // namespace oq::history
