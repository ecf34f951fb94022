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
        switch (FFiles.Next(TFileCall::Read)) {
        case TFaultyFileSystem::TOutcome::Raise:
            throw EInOutError(FFiles.Message());
        case TFaultyFileSystem::TOutcome::End:
            return 0;
        case TFaultyFileSystem::TOutcome::Pass:
            break;
        }
        return FInner->Read(buffer, count);
    }

    void Write(const void* buffer, std::int64_t count) override
    {
        if (FFiles.Next(TFileCall::Write) != TFaultyFileSystem::TOutcome::Pass) throw EInOutError(FFiles.Message());
        FInner->Write(buffer, count);
    }

    void Close() override
    {
        const bool fail = FFiles.Next(TFileCall::Close) != TFaultyFileSystem::TOutcome::Pass;
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
    FKind = TOutcome::Raise;
    FMessage = std::move(message);
}

void TFaultyFileSystem::EndNth(int nth, TFaultMode mode)
{
    FailNth(TFileCall::Read, nth, mode, std::string());
    FKind = TOutcome::End;
}

TFaultyFileSystem::TOutcome TFaultyFileSystem::Next(TFileCall call)
{
    const int n = ++FCalls[Index(call)];
    if (!FArmed || call != FCall) return TOutcome::Pass;
    if (n == FNth || (FMode == TFaultMode::FromThenOn && n > FNth)) {
        ++FFaults;
        return FKind;
    }
    return TOutcome::Pass;
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
