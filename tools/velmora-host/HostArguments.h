#pragma once
// velmora-host's command line, read apart from the program so that every byte a
// user may type can be tried against it.

#include <string>

#include "platform/TextConversion.h"

namespace Velmora::Host {

struct TOptions {
    std::string Folder;
    std::string Backup;
    std::string Year;
    std::string Plugin;  // empty: the default library
    std::string Service;
    bool HasFolder = false;
    bool HasBackup = false;
    bool HasYear = false;
    bool HasService = false;
    bool Help = false;
};

// Answers an empty text when all is well, otherwise what is wrong.
std::string ParseOptions(int argc, const char* const* argv, TOptions& options);

// What of the texts handed to the library cannot be read in the host's codeset, naming
// the option and showing its bytes escaped; empty when every one can be.
std::string UndecodableArgument(const TOptions& options, ITextConversion& text);

// Printable ASCII as it is, a backslash doubled, every other byte as \xHH.
std::string EscapedBytes(const std::string& bytes);

}  // namespace Velmora::Host
