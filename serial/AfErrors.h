#pragma once
// The serial engine's exceptions. Every failure the engine reports is one of
// these, carrying its fixed English message; callers show e.what() as is.

#include <stdexcept>
#include <string>

// The common base of the engine's errors.
class EAfSerialError : public std::runtime_error {
public:
    explicit EAfSerialError(const std::string& message) : std::runtime_error(message) {}
};

// Raised by the port core (device open, configuration, thread start).
class EAfComPortCoreError : public EAfSerialError {
public:
    using EAfSerialError::EAfSerialError;
};

// Raised by the serial port component; its text ends in " - <name> ".
class EAfComPortError : public EAfSerialError {
public:
    using EAfSerialError::EAfSerialError;
};

// The silent abort: raised on a worker thread when a delivery to the GUI
// thread is refused (the port is closing); the worker drops the event quietly.
class EAbort : public std::exception {
public:
    const char* what() const noexcept override { return "Operation aborted"; }
};

// printf-style formatting of the engine's message texts.
std::string AfFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
