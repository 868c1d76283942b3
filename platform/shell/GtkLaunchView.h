#pragma once
// The launch view (a plain area in the launch colour) and the loading view (the launch view with
// a spinner centred on it). Fresh widgets on every call; GTK main thread.

typedef struct _GtkWidget GtkWidget;

namespace kestrom::shell {

struct LaunchColor {
  double red = 0;  // 0.0-1.0, used unchanged
  double green = 0;
  double blue = 0;
};

/// A floating widget filled with `color` at full opacity, expanding to whatever it is given.
GtkWidget* makeLaunchView(LaunchColor color);
/// A floating widget: the launch view with a running spinner at its centre.
GtkWidget* makeLoadingView(LaunchColor color);

}  // namespace kestrom::shell
