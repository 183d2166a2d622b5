// The script editor's files: New, Open, Save, Save As and the save question.
// The bytes go to and from the file through ui/ScriptFile.h.
#include "editor/EditorText.h"
#include "editor/editor1.h"
#include "text/ScriptFormat.h"
#include "ui/ScriptFile.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include <string>

namespace {

constexpr char NoFile[] = "New";

QString FromUtf16(const std::u16string& text) {
    return QString(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size()));
}

}  // namespace

int TEditor::MyDialog() {
    SaveQuestion->setText("Save changes in file \n" + windowTitle() + " ?");
    return DialogSeams.AskSave ? DialogSeams.AskSave(*SaveQuestion) : SaveQuestion->exec();
}

int TEditor::RunModal(const std::function<int(QFileDialog&)>& seam, QFileDialog& dialog) {
    return seam ? seam(dialog) : dialog.exec();
}

void TEditor::RememberPath(const QString& path) {
    const std::u16string whole = path.toStdU16String();
    EditPath() = FromUtf16(FolderOfPath(whole));
    EditFile() = FromUtf16(NameOfPath(whole));
}

void TEditor::WriteTo(const QString& path) {
    const std::optional<std::string> bytes = ScriptBytesFromLines(Memo1->FileLines());
    // The text area lets no such character in; should one get there all the
    // same, the file is left as it is rather than written with a guess.
    if (!bytes) throw EFCreateError(FileErrorText("Cannot save characters outside the Central European character set in ", path));
    WriteScriptFile(path, *bytes);
}

void TEditor::New1Click() {
    if (TextChanged) {
        const int answer = MyDialog();
        if (answer == QMessageBox::Cancel) return;
        if (answer == QMessageBox::Yes) Save1Click();
    }
    Emptying = true;
    Memo1->SetScriptText(QString());
    Emptying = false;
    setWindowTitle(NoFile);
}

void TEditor::Open1Click() {
    OpenDialog1->setWindowTitle("Open file ..");
    OpenDialog1->setDirectory(EditPath());
    OpenDialog1->selectFile(EditFile());
    if (RunModal(DialogSeams.RunOpen, *OpenDialog1) != QDialog::Accepted || OpenDialog1->selectedFiles().isEmpty())
        return;
    const QString chosen = OpenDialog1->selectedFiles().first();
    RememberPath(chosen);

    // Whatever the save question's answer, the chosen file is loaded.
    if (windowTitle() != NoFile) New1Click();

    const std::string bytes = ReadScriptFile(chosen);
    const QString text = ScriptTextFromBytes(bytes);
    if (text.size() > TScriptMemo::MemoCapacity) throw std::runtime_error("Text exceeds memo capacity");
    Memo1->SetScriptText(text);
    TextChanged = true;
    // The text ends at a zero byte, so it is not the file's: were it taken as
    // the file's, a save (or Yes to the save question) would cut the file
    // short. It stays a new text, saved only under a name the user picks.
    if (bytes.find('\0') != std::string::npos) {
        WarnZeroByte(chosen);
        return;
    }
    setWindowTitle(chosen);
}

void TEditor::WarnZeroByte(const QString& path) {
    ZeroByteWarning->setText("The file " + QDir::toNativeSeparators(path) +
                             " contains a zero byte; the text after it is not shown.\n"
                             "The text opens as a new text, so saving it asks for a file name "
                             "and the file is not cut short.");
    if (DialogSeams.Warn)
        DialogSeams.Warn(*ZeroByteWarning);
    else
        ZeroByteWarning->exec();
}

void TEditor::Save1Click() {
    if (windowTitle() != NoFile) {
        WriteTo(windowTitle());
        return;
    }
    SaveDialog1->setDirectory(EditPath());
    SaveDialog1->setWindowTitle("Save file as..");
    SaveThroughDialog();
}

void TEditor::SaveThroughDialog() {
    if (RunModal(DialogSeams.RunSave, *SaveDialog1) != QDialog::Accepted || SaveDialog1->selectedFiles().isEmpty())
        return;
    QString chosen = SaveDialog1->selectedFiles().first();
    if (QFileInfo(chosen).suffix().isEmpty()) chosen += ".cpo";
    RememberPath(chosen);
    WriteTo(chosen);
    setWindowTitle(chosen);
}

void TEditor::SaveAs1Click() {
    // The title is left as it is: "Save file as.." once Save has shown the
    // dialog, the dialog's own before that.
    SaveDialog1->setDirectory(EditPath());
    SaveDialog1->selectFile(EditFile());
    SaveThroughDialog();
}
