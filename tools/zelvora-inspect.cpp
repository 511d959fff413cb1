// zelvora-inspect: prints the two header slots of a vault container file and which one a reader
// would trust. Needs no key, opens the file read-only and never takes the vault's lock.
//
// Exit status: 0 when a usable header exists, 1 when none does, 2 when the file cannot be read
// or the command line is wrong.

#include "InspectReport.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <QTextStream>

using namespace korvex::tools;

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);

    const QStringList args = app.arguments().mid(1);
    const QString usage = QStringLiteral("usage: zelvora-inspect <container-file>");
    if (args.size() == 1 &&
        (args[0] == QStringLiteral("-h") || args[0] == QStringLiteral("--help"))) {
        out << usage << '\n';
        return kExitUsable;
    }
    if (args.size() != 1 || args[0].isEmpty()) {
        err << usage << '\n';
        return kExitCannotRead;
    }

    const InspectReport report = inspectContainerFile(args[0]);
    // The report goes out before the error line, as a reader of both streams expects.
    out << report.output;
    out.flush();
    err << report.errors;
    return report.exitStatus;
}
