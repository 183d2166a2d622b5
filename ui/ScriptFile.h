#pragma once
// Reading and writing a script file as bytes, for the script editor and the
// script player.
//
// ReadScriptFile gives the whole file; WriteScriptFile replaces the file with
// the bytes (creating it when it does not exist) as one step: the file holds
// either its old bytes or all the new ones, and a failed write leaves no
// temporary file behind. Neither interprets the bytes (the editor's text:
// editor/EditorText.h; the player's lines: text/ScriptFormat.h).
//
// ReadScriptFile reads regular files only (a link to one included): a named
// pipe, a device or a socket is refused before it is opened, since opening a
// pipe waits for a writer and reading a device may never end, and either
// would hold the thread that asked. The editor and the script player both
// read scripts through it.
//
// Errors: ReadScriptFile raises EFOpenError "Cannot open file <path>" when the
// file cannot be opened or read (missing, a folder or another file that is
// not a regular file, no permission);
// WriteScriptFile raises EFCreateError "Cannot create file <path>" when it
// cannot be created, opened for writing or fully written. The path appears in
// the platform's native form.
//
// Any thread; the editor calls them on the GUI thread.

#include <QString>

#include <stdexcept>
#include <string>
#include <string_view>

class EFOpenError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class EFCreateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string ReadScriptFile(const QString& path);
void WriteScriptFile(const QString& path, std::string_view bytes);

// An error text about a file as the errors above word it: what, then the
// path in the platform's native form.
std::string FileErrorText(const char* what, const QString& path);
