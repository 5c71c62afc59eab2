#pragma once
// The reading as a screen reader should say it: "0.145 microsievert per hour, normal".
#include <QString>

#include "app/windows/ColorManager.h"

QString spokenReading(const QString& displayText, ColorManager::Level level);
// Without the level: "0.145 microsievert per hour"; empty for no reading.
QString spokenValue(const QString& displayText);

// "normal", "warning", "danger".
QString levelWord(ColorManager::Level level);
// "μSv/h" → "microsievert per hour".
QString spokenUnit(QString symbol);
