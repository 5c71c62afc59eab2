#pragma once
// A window's size and place, kept in the settings and given back at the next start.
#include <QString>

class QWidget;

// Restores `window`'s last size and place stored under `key` (moved onto a screen there is now)
// and keeps them whenever it is moved, resized, hidden or closed.
void rememberWindowPlace(QWidget* window, const QString& key);
