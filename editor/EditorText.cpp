#include "editor/EditorText.h"

#include "text/CodePages.h"
#include "text/ScriptFormat.h"

#include <algorithm>

namespace {

QString FromCodePage(std::string_view bytes) {
    const std::u16string text = BytesToUnicode(TCodePage::Cp1250, bytes);
    return QString(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size()));
}

}  // namespace

QString ScriptTextFromBytes(std::string_view fileBytes) {
    const std::string_view text = fileBytes.substr(0, std::min(fileBytes.find('\0'), fileBytes.size()));
    QString shown;
    shown.reserve(static_cast<qsizetype>(text.size()));
    bool first = true;
    for (const std::string& line : SplitScriptLines(text)) {
        if (!first) shown += u'\n';
        shown += FromCodePage(line);
        first = false;
    }
    // The player's lines drop a line end at the very end; the editor shows
    // it as the empty line the caret can go to, and writes it back.
    if (!text.empty() && (text.back() == '\r' || text.back() == '\n')) shown += u'\n';
    return shown;
}

std::optional<std::string> ScriptBytesFromLines(const QStringList& lines) {
    std::string bytes;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i > 0) bytes += "\r\n";
        for (const QChar ch : lines[i]) {
            const std::optional<unsigned char> byte = UnicodeToCodePage(TCodePage::Cp1250, ch.unicode());
            if (!byte) return std::nullopt;
            bytes.push_back(static_cast<char>(*byte));
        }
    }
    return bytes;
}

bool FitsScriptCodePage(QStringView text) {
    return std::all_of(text.begin(), text.end(),
                       [](QChar ch) { return UnicodeToCodePage(TCodePage::Cp1250, ch.unicode()).has_value(); });
}

QString MarkerInsertion(qsizetype caretColumn, QStringView marker) {
    QString insertion;
    if (caretColumn > 0) insertion += u'\n';
    insertion += marker;
    insertion += u'\n';
    return insertion;
}

QString WithPlainLineBreaks(QStringView text) {
    QString plain;
    plain.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar ch = text[i];
        if (ch == u'\r') {
            if (i + 1 < text.size() && text[i + 1] == u'\n') ++i;
            plain += u'\n';
        } else if (ch == QChar::LineSeparator || ch == QChar::ParagraphSeparator) {
            plain += u'\n';
        } else {
            plain += ch;
        }
    }
    return plain;
}
