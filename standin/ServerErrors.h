#pragma once
// A refusal the server words with one of its numbered messages, so that a client
// can show "Msg N" as the server's own tools do.

#include <string>

#include "platform/Errors.h"

namespace Velmora::Standin {

class EServerError : public EProviderError {
public:
    EServerError(int number, const std::string& message) : EProviderError(message, number) {}
};

}  // namespace Velmora::Standin
