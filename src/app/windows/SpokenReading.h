#pragma once
// The reading as a screen reader should say it: "0.145 microsievert per hour, normal".
#include <QString>

#include "app/windows/ColorManager.h"

QString spokenReading(const QString& displayText, ColorManager::Level level);
