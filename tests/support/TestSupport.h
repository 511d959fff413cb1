#pragma once

#include <QByteArray>
#include <QString>

namespace korvex::test {

// Writes bytes to path (creating or replacing it); fails the calling test on error.
bool writeFile(const QString& path, const QByteArray& bytes);
QByteArray readWholeFile(const QString& path);

} // namespace korvex::test
