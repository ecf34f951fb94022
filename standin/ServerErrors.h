#pragma once
// A refusal the server words with one of its numbered messages, so that a client
// can show "Msg N" as the server's own tools do.

#include <string>
#include <vector>

#include "platform/Errors.h"

namespace Velmora::Standin {

class EServerError : public EProviderError {
public:
    struct TMessage {
        int Number;
        std::string Text;
    };

    EServerError(int number, const std::string& message) : EProviderError(message, number) {}
    // What the server sends after the cause, as it closes a failed RESTORE
    // ("… is terminating abnormally."); the cause stays the error's own number and text.
    const std::vector<TMessage>& Following() const { return FFollowing; }
    void Follow(int number, const std::string& text) { FFollowing.push_back({number, text}); }

private:
    std::vector<TMessage> FFollowing;
};

}  // namespace Velmora::Standin
