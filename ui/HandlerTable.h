#pragma once
// A window's handler table: each row ties one control's signal, one
// component's event or one click on a label or picture to the handler that
// answers it, and every handler runs through AfGuard. One table per window
// lets a reader find in one place what runs a handler, and leaves no way to
// connect one without the guard.
//
//   ConnectHandlers(this, {
//       {Exit1, &QAction::triggered, &TForm1::Exit1Click},      // a Qt signal
//       {Comport1->OnCTSChanged, &TForm1::Comport1CTSChanged},  // a component's event
//       {Image1, MouseClick, &TForm1::Image1Click},             // a click
//   });
//
// A handler is a member of the window that takes nothing, or, for the few
// entries that carry a value of their own, a callable that takes nothing.
// Rows connect in the table's order, so two rows of one signal run in that
// order, and after whatever the sender connected to it before.
//
// Lifetimes: a signal's connection ends with the window (it is the receiver).
// A component's event holds the window and must not outlive it, which holds
// for the components a window owns. A click is watched by a small object
// that lives as long as the widget. A click is a left-button release inside
// the widget, as for a classic label's OnClick; the widget sees the release
// all the same.
//
// GUI thread only.

#include "ui/AfApplicationError.h"

#include <QObject>

#include <functional>
#include <initializer_list>
#include <type_traits>
#include <utility>

class QWidget;

// The "signal" of a click row.
struct TMouseClick {};
inline constexpr TMouseClick MouseClick{};

// Calls clicked after each left-button release inside widget.
void WatchClicks(QWidget* widget, std::function<void()> clicked);

template <class Window>
class THandlerRow {
public:
    using THandler = void (Window::*)();

    template <class Sender, class Signal>
        requires std::is_member_function_pointer_v<Signal>
    THandlerRow(Sender* sender, Signal signal, THandler handler)
        : connect_([sender, signal, handler](Window* window) {
              QObject::connect(sender, signal, window, AfGuarded(window, handler));
          }) {}

    template <class Sender, class Signal>
        requires std::is_member_function_pointer_v<Signal>
    THandlerRow(Sender* sender, Signal signal, std::function<void()> handler)
        : connect_([sender, signal, handler = std::move(handler)](Window* window) {
              QObject::connect(sender, signal, window, [handler](auto&&...) { AfGuard(handler); });
          }) {}

    template <class... Args>
    THandlerRow(std::function<void(Args...)>& event, THandler handler)
        : connect_([&event, handler](Window* window) { event = AfGuarded(window, handler); }) {}

    THandlerRow(QWidget* widget, TMouseClick, THandler handler)
        : connect_([widget, handler](Window* window) { WatchClicks(widget, AfGuarded(window, handler)); }) {}

    void Connect(Window* window) const { connect_(window); }

private:
    std::function<void(Window*)> connect_;
};

// Connects every row of the table, in order.
template <class Window>
void ConnectHandlers(Window* window, std::initializer_list<THandlerRow<Window>> table) {
    for (const THandlerRow<Window>& row : table) row.Connect(window);
}
