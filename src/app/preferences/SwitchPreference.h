#pragma once
// An on/off preference: a check box that writes a boolean settings key at once and follows the
// key when something else writes it. The key's absence reads as `absentMeans`. The box's object
// name is the key.
#include <QString>

class QCheckBox;
class QWidget;

QCheckBox* makeSwitchPreference(const QString& key, const QString& label, bool absentMeans, QWidget* parent);
