#pragma once

#include "platform/TpmSealedKeyStore.h"

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <deque>
#include <optional>

namespace korvex::test {

// Answers the TPM key's PIN prompt from a script: each answer a PIN, or none for Cancel (as is
// running out of answers). Records what it was asked.
class ScriptedPinPrompt : public platform::ISealedKeyPinPrompt {
public:
    std::optional<crypto::SecureBuffer> askForPin(const platform::SealedKeyPrompt& words,
                                                  platform::PinRequest request,
                                                  const platform::PinTries& tries) override {
        asked.push_back(request);
        triesTold.push_back(tries);
        shownNames.push_back(words.friendlyName);
        if (answers.empty())
            return std::nullopt;
        const std::optional<QByteArray> answer = answers.front();
        answers.pop_front();
        if (!answer)
            return std::nullopt;
        return crypto::SecureBuffer::copyOf(answer->constData(),
                                            static_cast<std::size_t>(answer->size()));
    }
    void tellLockedOut(const platform::SealedKeyPrompt&, const platform::PinTries& tries) override {
        ++lockedOut;
        lockoutTold = tries;
    }

    std::deque<std::optional<QByteArray>> answers;
    QList<platform::PinRequest> asked;
    QList<platform::PinTries> triesTold;
    platform::PinTries lockoutTold;
    QStringList shownNames;
    int lockedOut = 0;
};

} // namespace korvex::test
