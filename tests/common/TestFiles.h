#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// Whole-file reads and writes for test fixtures, so a failed write shows up as a failed check
// rather than as a puzzling result further on.
namespace TestFiles {

// Empty when the file cannot be read.
QByteArray read(const QString& path);

// Creates or truncates `path` with `data`; permissions are set only when given.
bool write(const QString& path, const QByteArray& data = {}, QFile::Permissions permissions = {});

} // namespace TestFiles
