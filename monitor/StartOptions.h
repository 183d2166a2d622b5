#pragma once
// The program's command line, for shortcuts, launchers and test rigs:
//
//   kalvaro [--port1 PORT] [--port2 PORT] [--mode ascii|hex|dec]
//           [--play FILE.cpo] [--log FILE] [--config DIR] [--version] [--help]
//
// PORT is a COM number ("COM3", "com3" or "3") or a device: a path
// ("/dev/ttyUSB0", a /dev/serial/by-id link) or a [Ports]-style name
// ("virtual:demo/A", "rfc2217://host:7000"). A device the port map does not list takes the lowest
// free COM number for this run. Line settings may follow after a colon, as
// comma-separated fields in any order: the baud rate (a whole number from 50
// to 12 000 000), the parity letter (N, O, E, M, S), the data bits (4 to 8),
// the stop bits (1, 1.5, 2), the three of them at once ("8E2", "8N1") and
// the flow control (none, xonxoff, rtscts, dtrdsr); letters in either case.
// Fields not given keep the port's start settings (9600,N,8,1, no flow).
//
// ParseStartOptions checks everything a start can check before a window
// exists: --config is applied first (every later look at the settings file
// and the port map sees that folder), each port must be in the port map or
// be a device that exists, the script must be readable and the log's folder
// must exist. The window then
// applies the options (TForm1::ApplyStartOptions), where a port that exists
// but cannot be opened shows the usual error box.
//
// GUI thread, before the windows are created.

#include "monitor/ReceiveRules.h"
#include "serial/AfComPort.h"

#include <QString>
#include <QStringList>

#include <optional>

// One port of the command line and its settings; a field left empty keeps
// the port's start setting.
struct TPortStart {
    int Number = 0;  // the COM number it opens on
    std::optional<TAfBaudrate> BaudRate;
    std::int32_t UserBaudRate = 0;  // the rate when BaudRate is brUser
    std::optional<TAfParity> Parity;
    std::optional<TAfDatabits> Databits;
    std::optional<TAfStopbits> Stopbits;
    std::optional<TAfFlowControl> FlowControl;
};

struct TStartOptions {
    std::optional<TPortStart> Port1;
    std::optional<TPortStart> Port2;
    std::optional<TDisplayMode> UpperMode;
    QString Script;   // played once port 1 is open; empty: none
    QString LogFile;  // the log started before the ports open; empty: none
};

// What the program does after parsing.
enum class TStartAction {
    Run,         // create the windows and apply the options
    Exit,        // --help or --version has been printed: end with status 0
    ExitFailed,  // Message says what was wrong: end with status 2
};

struct TStartResult {
    TStartAction Action = TStartAction::Run;
    QString Message;  // the text to print: help, version or the error
    TStartOptions Options;
};

// arguments as QCoreApplication::arguments() gives them, the program first.
TStartResult ParseStartOptions(const QStringList& arguments);

// The settings part of a PORT ("115200,8E2,rtscts") onto start; false for a
// field it does not know.
bool ParseLineSettings(const QString& text, TPortStart& start);
