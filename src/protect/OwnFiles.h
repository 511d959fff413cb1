#pragma once

#include <QString>
#include <QStringList>

namespace korvex::protect {

// The program's own files: its folders (the data folder, the folder of the user's key file) and
// the vault file with its lock, wherever the vault lives. None of them may be imported (an
// import erases its source afterwards) or overwritten by an export.
class OwnFiles {
public:
    OwnFiles() = default;
    OwnFiles(QStringList folders, QStringList files);

    // The own files of an installation whose data folder is dataFolder and whose vault file is
    // at vaultPath (empty when the vault is not a file).
    static OwnFiles of(const QString& dataFolder, const QString& vaultPath);

    // Whether path (existing or about to be created) is one of them: inside one of the folders
    // once links are resolved, or the same file as one of the files or as any file in the
    // folders, whatever name it is reached by (a hard link included).
    bool contains(const QString& path) const;

private:
    QStringList folders_;
    QStringList files_;
};

} // namespace korvex::protect
