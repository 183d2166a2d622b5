#pragma once
// Reading and writing a script file as bytes, for the script editor.
//
// ReadScriptFile gives the whole file; WriteScriptFile replaces the file with
// the bytes (creating it when it does not exist) as one step: the file holds
// either its old bytes or all the new ones, and a failed write leaves no
// temporary file behind. Neither interprets the bytes (see EditorText.h for
// that).
//
// Errors: ReadScriptFile raises EFOpenError "Cannot open file <path>" when the
// file cannot be opened or read (missing, a folder, no permission);
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
