#include "crypto/SecureWipe.h"

#include "crypto/Sodium.h"

#include <QByteArray>
#include <QString>

#include <sodium.h>

namespace korvex::crypto {

void secureWipe(void* data, std::size_t length) noexcept {
    if (data == nullptr || length == 0)
        return;
    ensureSodiumInitialised();
    sodium_memzero(data, length);
}

void secureWipe(std::string& text) noexcept { secureWipe(text.data(), text.size()); }

void secureWipe(std::vector<std::uint8_t>& bytes) noexcept {
    secureWipe(bytes.data(), bytes.size());
}

void secureWipe(std::vector<char>& bytes) noexcept { secureWipe(bytes.data(), bytes.size()); }

// data() detaches a shared array first, so only this holder's bytes are zeroed; a copy held
// elsewhere is that holder's to wipe.
void secureWipe(QByteArray& bytes) {
    if (!bytes.isEmpty())
        secureWipe(bytes.data(), static_cast<std::size_t>(bytes.size()));
}

void secureWipe(QString& text) {
    if (!text.isEmpty())
        secureWipe(text.data(), static_cast<std::size_t>(text.size()) * sizeof(QChar));
}

} // namespace korvex::crypto
