#include "ui/ScriptFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

std::string FileErrorText(const char* what, const QString& path) {
    return std::string(what) + QDir::toNativeSeparators(path).toLocal8Bit().toStdString();
}

std::string ReadScriptFile(const QString& path) {
    if (!QFileInfo(path).isFile()) throw EFOpenError(FileErrorText("Cannot open file ", path));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) throw EFOpenError(FileErrorText("Cannot open file ", path));
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) throw EFOpenError(FileErrorText("Cannot open file ", path));
    return bytes.toStdString();
}

void WriteScriptFile(const QString& path, std::string_view bytes) {
    // The new bytes go to a temporary file beside the old one, which replaces
    // it only once complete: a full disk never costs the old file. Whatever
    // fails, the temporary file goes with the object.
    QSaveFile file(path);
    const qint64 size = static_cast<qint64>(bytes.size());
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes.data(), size) != size || !file.commit())
        throw EFCreateError(FileErrorText("Cannot create file ", path));
}
