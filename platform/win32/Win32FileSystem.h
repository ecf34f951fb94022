#pragma once
// Files through CreateFileW, shared with no one, with 64-bit sizes and positions.

#include "platform/Files.h"

namespace Velmora {

class TWin32FileSystem : public IFileSystem {
public:
    std::unique_ptr<IFile> OpenReadExclusive(const std::string& path) override;
    std::unique_ptr<IFile> CreateExclusive(const std::string& path) override;
    bool DeleteFile(const std::string& path) override;
    std::string PathSeparator() const override { return "\\"; }
};

}  // namespace Velmora
