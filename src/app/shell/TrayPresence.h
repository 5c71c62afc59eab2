#pragma once
// Whether the desktop has a tray up right now, asked without Qt's own check: Qt decides once per
// process whether a StatusNotifier tray is there, so asking it before the panel is up at login
// would keep the icon out for the whole session.

namespace oq::tray {

// A StatusNotifier watcher with a host on the session bus (KDE Plasma, GNOME's AppIndicator
// extension, Xfce's panel, and so on).
bool statusNotifierHostRegistered();

// An XEmbed tray on the X display; false off X11.
bool xembedTrayPresent();

inline bool present() { return statusNotifierHostRegistered() || xembedTrayPresent(); }

} // namespace oq::tray
