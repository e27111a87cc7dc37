// Enter and exit events of controls and of the panels that hold them, derived from the application's
// focus changes. When the focus moves from A to B inside one form:
// - every widget that contains A (A included) but not B gets its exit handler, innermost first;
// - then every widget that contains B but not A gets its enter handler, outermost first.
// An exit handler that does not complete (a silent abort from MensErro, or any error) puts the focus back
// on A, raising no enter or exit of its own, and the remaining exits and all enters are skipped. While a
// handler runs, or a message box is up, focus changes raise nothing. Moves between forms (another screen,
// a dialog, a box, another application) raise nothing either, nor does the focus the toolkit parks on hidden
// widgets while it hides a window for a moment (maximizing a screen): the next move to a visible widget
// counts from where the focus was before. Tab from a form's last control passes through the frame of the
// form's inner window on to its first control: that counts as one move inside the form.
#pragma once

#include <functional>

class QObject;
class QWidget;

namespace FocusEvents {

using Handler = std::function<void(QObject* sender)>;

// One handler of each kind per widget; an empty function removes it. The sender is the widget.
void SetOnEnter(QWidget* widget, Handler handler);
void SetOnExit(QWidget* widget, Handler handler);

// Marks a widget as the root of a form (a screen shown inside the host's window): focus moves in and out
// of it are moves between forms. Top-level windows are roots anyway.
void MarkFormRoot(QWidget* form);

}  // namespace FocusEvents
