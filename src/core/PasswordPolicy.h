#pragma once

#include <QString>

namespace korvex::core {

inline constexpr int kMinPasswordLength = 12;

// Empty when the proposed master password is acceptable, otherwise the one message the user
// sees (the first rule it breaks). Lengths and classes count UTF-16 code units.
QString passwordPolicyViolation(const QString& password);

} // namespace korvex::core
