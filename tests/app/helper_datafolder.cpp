// Runs one data-folder check and reports its result as the exit status, so that the tests can
// run it as another user:
//
//   helper_datafolder writable <folder>
//   helper_datafolder repair <folder>
//
// Exit status 0 means true (for repair: it ran), 1 false, 2 a usage error. Log lines go to
// standard error.

#include "app/DataFolder.h"

#include <QFile>
#include <QString>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    const QString folder = QFile::decodeName(argv[2]);
    if (std::strcmp(argv[1], "writable") == 0)
        return korvex::app::isDataFolderWritable(folder) ? 0 : 1;
    if (std::strcmp(argv[1], "repair") == 0) {
        korvex::app::repairDataFolderAccess(folder);
        return 0;
    }
    return 2;
}
