#pragma once
// The last step of quitting: the device's own work ends before the process does.
class OQAppDelegate;

// For every counter plugged in: a transfer still running is cancelled as the user's Cancel button
// would, then the event loop runs until no device has work in flight (its closing sequence sent, its link left) or
// `limitSeconds` (modelled) have passed. True when the work ended in time. Ending the process
// under that work would leave the counter sending and the work without the state it uses.
bool finishDeviceWork(OQAppDelegate& controller, double limitSeconds);
