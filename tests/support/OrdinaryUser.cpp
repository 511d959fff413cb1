#include "support/OrdinaryUser.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvex::test {

bool OrdinaryUser::prepare(const QString& helperExecutable) {
    if (!helperDir_.isValid() ||
        ::chmod(QFile::encodeName(helperDir_.path()).constData(), 0755) != 0)
        return false;
    helper_ = helperDir_.filePath(QFileInfo(helperExecutable).fileName());
    if (!QFile::copy(helperExecutable, helper_) ||
        ::chmod(QFile::encodeName(helper_).constData(), 0755) != 0)
        return false;

    const passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() != 0)
        unavailable_ = QStringLiteral("only root can switch to an ordinary user");
    else if (QStandardPaths::findExecutable(QStringLiteral("runuser")).isEmpty())
        unavailable_ = QStringLiteral("runuser is not installed");
    else if (nobody == nullptr)
        unavailable_ = QStringLiteral("there is no user 'nobody'");
    else {
        uid_ = nobody->pw_uid;
        gid_ = nobody->pw_gid;
    }
    return true;
}

bool OrdinaryUser::giveTo(const QString& path) const {
    return unavailable_.isEmpty() && ::chown(QFile::encodeName(path).constData(), uid_, gid_) == 0;
}

int OrdinaryUser::run(const QStringList& arguments, bool asOrdinaryUser, QString* errors) const {
    QProcess process;
    process.setWorkingDirectory(helperDir_.path());
    if (asOrdinaryUser)
        process.start(QStringLiteral("runuser"),
                      QStringList{QStringLiteral("-u"), QStringLiteral("nobody"),
                                  QStringLiteral("--"), helper_} +
                          arguments);
    else
        process.start(helper_, arguments);
    const bool finished =
        process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    if (errors)
        *errors = QString::fromUtf8(process.readAllStandardError());
    return finished ? process.exitCode() : -1;
}

} // namespace korvex::test
