#pragma once

#include "platform/UserKeyFileProtection.h"

#include <chrono>

namespace korvex::platform {

// Per-user protection through the desktop's Secret Service keyring (gnome-keyring, KWallet's
// Secret Service, ...). One random 32-byte wrapping key per user lives as an item of the default
// collection, labelled "Zelvora user data protection key" with the attributes
// application=Zelvora, purpose=user-data-protection, version=1; it is created on the first
// protect. The key is fetched on every call and wiped after it, so a keyring locked in between
// is honoured: a locked collection whose unlock prompt is dismissed or cannot be shown, or any
// D-Bus failure, gives nothing. Never falls back to the key file.
class SecretServiceUserDataProtection final : public WrappedUserDataProtection {
public:
    // Bounds each call, the unlock prompt included: long enough for a person to answer it. A
    // prompt that cannot be shown at all (no display) fails at once.
    static constexpr std::chrono::milliseconds kDefaultTimeout = std::chrono::minutes(2);

    explicit SecretServiceUserDataProtection(std::chrono::milliseconds timeout = kDefaultTimeout);

    UserProtectionKind kind() const override { return UserProtectionKind::Keyring; }

    // Whether the session bus has a Secret Service: org.freedesktop.secrets has an owner or can
    // be activated. False when there is no session bus.
    static bool isAvailable();

protected:
    crypto::SecureBuffer sealingKey() override;
    std::vector<crypto::SecureBuffer> openingKeys() override;
    UserProtectionFailure keyFailure() const override { return keyFailure_; }

private:
    std::vector<crypto::SecureBuffer> fetchKeys(bool createIfMissing);

    std::chrono::milliseconds timeout_;
    UserProtectionFailure keyFailure_ = UserProtectionFailure::None;
};

} // namespace korvex::platform
