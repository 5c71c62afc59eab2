#pragma once
// Why the counter's port would not open, said for the user in place of the reading: what is wrong
// and what to do about it.
#include <QString>

#include "device/ft/FtBackend.h"

// The empty text for no failure.
QString openingProblemText(const oq::ft::OpenFailure& failure);
