#pragma once
// The application's error handling: the one guard every GUI handler, timer
// tick and delivered event runs through, and the error box it shows.
//
// No exception ever crosses Qt's event loop. AfGuard runs a handler; an
// exception that leaves it ends the handler where it stands and is shown in
// the error box (caption: the application title, error icon, OK), and the
// program goes on. The box shows the message with a full stop appended only
// when the message's last character sorts after the full stop, so a message
// ending in a letter or a digit gets one, one ending in ")" or a blank not.
//
// GUI thread only. Tests replace the box with AfSetErrorBoxPresenter.

#include <QString>

#include <exception>
#include <functional>
#include <string>

// The text the box shows for a message.
QString AfErrorBoxText(const std::string& message);

// Shows the error box (or hands it to the installed presenter).
void AfShowErrorBox(const std::string& message);

// Reports an exception caught on the GUI thread.
void AfHandleException(std::exception_ptr error);

// Replaces the box: presenter(caption, text) is called instead of showing it.
// An empty presenter puts the real box back.
using TAfErrorBoxPresenter = std::function<void(const QString& caption, const QString& text)>;
void AfSetErrorBoxPresenter(TAfErrorBoxPresenter presenter);

// Runs handler; returns false when it raised (the error has been shown).
template <class Handler>
bool AfGuard(Handler&& handler) noexcept {
    try {
        handler();
        return true;
    } catch (...) {
        AfHandleException(std::current_exception());
        return false;
    }
}

// A handler member of receiver, as a callable that runs it through AfGuard:
// what every signal and event of a window is connected to.
template <class Receiver>
auto AfGuarded(Receiver* receiver, void (Receiver::*handler)()) {
    return [receiver, handler](auto&&...) { AfGuard([receiver, handler] { (receiver->*handler)(); }); };
}
