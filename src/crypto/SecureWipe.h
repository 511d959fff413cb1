#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class QByteArray;
class QString;

namespace korvex::crypto {

// Zero the bytes an ordinary container currently holds, in place, without changing its length.
// Used on every temporary copy of a password, key or plaintext before it is let go.
void secureWipe(void* data, std::size_t length) noexcept;
void secureWipe(std::string& text) noexcept;
void secureWipe(std::vector<std::uint8_t>& bytes) noexcept;
void secureWipe(std::vector<char>& bytes) noexcept;
void secureWipe(QByteArray& bytes);
void secureWipe(QString& text);

} // namespace korvex::crypto
