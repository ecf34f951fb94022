#include "tests/fakes/FaultyFiles.h"

#include <utility>

#include "platform/Errors.h"

namespace Velmora::Testing {

namespace {

class TFaultyFile : public IFile {
public:
    TFaultyFile(TFaultyFileSystem& files, std::unique_ptr<IFile> inner) : FFiles(files), FInner(std::move(inner)) {}

    std::int64_t Size() override { return FInner->Size(); }
    std::int64_t Position() override { return FInner->Position(); }
    void Seek(std::int64_t position) override { FInner->Seek(position); }

    std::int64_t Read(void* buffer, std::int64_t count) override
    {
        if (FFiles.NextFails(TFileCall::Read)) throw EInOutError(FFiles.Message());
        return FInner->Read(buffer, count);
    }

    void Write(const void* buffer, std::int64_t count) override
    {
        if (FFiles.NextFails(TFileCall::Write)) throw EInOutError(FFiles.Message());
        FInner->Write(buffer, count);
    }

    void Close() override
    {
        const bool fail = FFiles.NextFails(TFileCall::Close);
        try {
            FInner->Close();
        } catch (...) {
            if (!fail) throw;
        }
        if (fail) throw EInOutError(FFiles.Message());
    }

private:
    TFaultyFileSystem& FFiles;
    std::unique_ptr<IFile> FInner;
};

}  // namespace

void TFaultyFileSystem::FailNth(TFileCall call, int nth, TFaultMode mode, std::string message)
{
    FArmed = true;
    FCall = call;
    FNth = nth;
    FMode = mode;
    FMessage = std::move(message);
}

bool TFaultyFileSystem::NextFails(TFileCall call)
{
    const int n = ++FCalls[Index(call)];
    const bool fails = FArmed && call == FCall && (n == FNth || (FMode == TFaultMode::FromThenOn && n > FNth));
    if (fails) ++FFaults;
    return fails;
}

std::unique_ptr<IFile> TFaultyFileSystem::OpenReadExclusive(const std::string& path)
{
    return std::make_unique<TFaultyFile>(*this, FInner.OpenReadExclusive(path));
}

std::unique_ptr<IFile> TFaultyFileSystem::CreateExclusive(const std::string& path)
{
    return std::make_unique<TFaultyFile>(*this, FInner.CreateExclusive(path));
}

}  // namespace Velmora::Testing
