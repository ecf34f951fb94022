#pragma once
// The two kinds of failure the run distinguishes: the database provider's own
// errors, which the runners turn into a warning box, and everything else, which
// ends the run with one error box naming what failed.

#include <stdexcept>
#include <string>

namespace Velmora {

// Raised by a database adapter when the provider reports an error; carries the provider's message (UTF-8)
// and, when the server gave one, its message number (0 when not).
class EProviderError : public std::runtime_error {
public:
    explicit EProviderError(const std::string& message, int number = 0) : std::runtime_error(message), FNumber(number) {}
    int Number() const { return FNumber; }

private:
    int FNumber;
};

// A failure outside the provider (a file, a conversion, a closed data set), worded for the user in Chinese.
class EVelmoraError : public std::runtime_error {
public:
    explicit EVelmoraError(const std::string& message) : std::runtime_error(message) {}
};

// A read or write of an open file failed.
class EInOutError : public EVelmoraError {
public:
    explicit EInOutError(const std::string& message) : EVelmoraError(message) {}
};

}  // namespace Velmora
