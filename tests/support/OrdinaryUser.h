#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <sys/types.h>

namespace korvex::test {

// Root ignores file permissions, so a test of a permission failure runs its code as the
// ordinary user "nobody", in a helper executable of its own.
class OrdinaryUser {
public:
    // Copies helperExecutable where any user can run it (the build tree need not be reachable)
    // and looks the user up. False only when the copy fails; whether an ordinary user can be
    // used at all is unavailable()'s answer.
    bool prepare(const QString& helperExecutable);

    // Why nothing can run as an ordinary user here; empty when it can.
    const QString& unavailable() const { return unavailable_; }
    // Hands path over to the ordinary user.
    bool giveTo(const QString& path) const;
    // Runs the helper with arguments, as the ordinary user or (asOrdinaryUser false) as this
    // process's user. The exit status, or -1 when it did not finish; its standard error goes to
    // errors when given.
    int run(const QStringList& arguments, bool asOrdinaryUser = true,
            QString* errors = nullptr) const;

private:
    QTemporaryDir helperDir_;
    QString helper_;
    QString unavailable_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

} // namespace korvex::test
