#pragma once
// The script editor's text operations that need no window: a script file's
// bytes as the text the editor shows and back, the text a marker insertion
// puts at the caret, and the cleaning of text that arrives from outside.
//
// The editor's text holds characters, a script file holds bytes in code page
// 1250. Reading never fails (every byte has its character); writing fails
// only for a character the code page cannot hold, which the editor refuses
// at the door (see ScriptMemo.h), so the file is never quietly changed.
//
// Line breaks: in the editor's text a line break is one '\n'; in a file it is
// CR LF. Reading takes CR LF, a lone CR and a lone LF as one line break each
// and ends the text at the first zero byte. A line break at the end of a file
// is kept as an empty last line, so that a file written with CR LF saves back
// to the same bytes.
//
// Plain functions without state: thread-safe. Nothing throws but
// std::bad_alloc.

#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>
#include <string>
#include <string_view>

// The editor's text of a script file's bytes.
QString ScriptTextFromBytes(std::string_view fileBytes);

// The file bytes of the editor's lines: each line's code page 1250 bytes,
// joined with CR LF, nothing added after the last line. nullopt when a
// character is not in the code page.
std::optional<std::string> ScriptBytesFromLines(const QStringList& lines);

// Whether every character of the text is in code page 1250 (line breaks
// included: '\n' is).
bool FitsScriptCodePage(QStringView text);

// What a marker insertion puts at the caret: a line break first when the
// caret's column (counted from 0 in its line) is above 0, then the marker and
// a line break. The caret then stands at the start of the line after it.
QString MarkerInsertion(qsizetype caretColumn, QStringView marker);

// Text that arrives from the clipboard or a drop, with every kind of line
// break (CR LF, lone CR, lone LF, Unicode line and paragraph separators) as
// '\n'.
QString WithPlainLineBreaks(QStringView text);
