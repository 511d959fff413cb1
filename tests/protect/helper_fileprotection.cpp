// Runs one file-protection operation and reports its result as the exit status, so that the
// tests can run it as another user or under a resource limit:
//
//   helper_fileprotection erase <path> [file size limit in bytes]
//   helper_fileprotection denied <path> <rights: any of r, w, d>
//   helper_fileprotection repair <path>
//   helper_fileprotection candelete <path>
//   helper_fileprotection atomic-write <path> <content>
//
// Exit status 0 means true, 1 false, 2 a usage error.

#include "protect/AtomicFile.h"
#include "protect/FileProtection.h"

#include <QFile>
#include <QString>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>

using namespace korvex::protect;

namespace {

int report(bool result) {
    return result ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        return 2;
    const char* operation = argv[1];
    const QString path = QFile::decodeName(argv[2]);

    if (std::strcmp(operation, "erase") == 0) {
        if (argc == 4) {
            // Writes at or past the limit come back short (or fail) instead of raising SIGXFSZ.
            std::signal(SIGXFSZ, SIG_IGN);
            const rlim_t limit = std::strtoull(argv[3], nullptr, 10);
            const rlimit fileSize{limit, limit};
            if (setrlimit(RLIMIT_FSIZE, &fileSize) != 0)
                return 2;
        }
        return report(secureErase(path));
    }
    if (std::strcmp(operation, "denied") == 0 && argc == 4) {
        AccessRights rights;
        for (const char* c = argv[3]; *c != '\0'; ++c) {
            switch (*c) {
            case 'r':
                rights |= AccessRight::Read;
                break;
            case 'w':
                rights |= AccessRight::Write;
                break;
            case 'd':
                rights |= AccessRight::Delete;
                break;
            default:
                return 2;
            }
        }
        return report(isAccessDenied(path, rights));
    }
    if (std::strcmp(operation, "repair") == 0)
        return report(repairAccess(path));
    if (std::strcmp(operation, "candelete") == 0)
        return report(canDelete(path));
    if (std::strcmp(operation, "atomic-write") == 0 && argc == 4)
        return report(writeFileAtomically(path, QByteArray(argv[3])));
    return 2;
}
