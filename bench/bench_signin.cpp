// Sign-in against its floor: one Argon2id run at the account's real cost. A sign-in needs two
// runs that do not depend on each other (the password check and the key derivation); side by
// side on two cores they should take about the time of one. The account case adds what a real
// sign-in reads: the identity file, its key and the failed-attempt record.

#include "core/AuthManager.h"
#include "crypto/PasswordHasher.h"
#include "platform/SealedKeyStore.h"
#include "platform/UserKeyFileProtection.h"
#include "protect/LocalIntegrityKey.h"

#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <memory>
#include <string>

namespace {

using korvex::crypto::PasswordHasher;

const std::string kPassword = "Correct-Horse-42!";

void BM_OneArgon2id(benchmark::State& state) {
    const auto salt = PasswordHasher::generateSalt();
    for (auto _ : state)
        benchmark::DoNotOptimize(PasswordHasher::deriveKey(kPassword, salt, 32));
}
BENCHMARK(BM_OneArgon2id)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_CheckThenDerive(benchmark::State& state) {
    const auto salt = PasswordHasher::generateSalt();
    const std::string hash = PasswordHasher::hashPassword(kPassword);
    for (auto _ : state) {
        benchmark::DoNotOptimize(PasswordHasher::verifyPassword(hash, kPassword));
        benchmark::DoNotOptimize(PasswordHasher::deriveKey(kPassword, salt, 32));
    }
}
BENCHMARK(BM_CheckThenDerive)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_CheckAndDeriveSideBySide(benchmark::State& state) {
    const auto salt = PasswordHasher::generateSalt();
    const std::string hash = PasswordHasher::hashPassword(kPassword);
    for (auto _ : state)
        benchmark::DoNotOptimize(PasswordHasher::verifyAndDeriveKey(hash, kPassword, salt, 32));
}
BENCHMARK(BM_CheckAndDeriveSideBySide)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_SignIn(benchmark::State& state) {
    QTemporaryDir dir;
    korvex::platform::NoSealedKeyStore noTpm;
    korvex::platform::UserKeyFileDataProtection keyFile(dir.filePath("config/user.key"));
    korvex::protect::setLocalProtectionServices(&noTpm, &keyFile);
    {
        korvex::core::AuthManager account(dir.filePath("identity.dat"));
        if (!account.createAccount(QStringLiteral("bench"), kPassword)) {
            state.SkipWithError("could not create the account");
            return;
        }
    }
    for (auto _ : state) {
        korvex::core::AuthManager auth(dir.filePath("identity.dat"));
        benchmark::DoNotOptimize(auth.login(kPassword, true, QString(), nullptr, nullptr));
    }
    korvex::protect::setLocalProtectionServices(nullptr, nullptr);
}
BENCHMARK(BM_SignIn)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

BENCHMARK_MAIN();
