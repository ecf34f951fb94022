#include "platform/Errors.h"
#include "preprocess/DealWithUFO.h"

namespace Velmora {

namespace {
// Odd on purpose: the pieces stay small so the dialog keeps painting between them.
constexpr std::int64_t CopyPieceSize = 1025;
}  // namespace

bool TForm_DealWithUFO::CopyBackupFile(const std::string& source, const std::string& target)
{
    // Failures to open either file are not this step's to answer; they end the run.
    std::unique_ptr<IFile> sourceFile = FPlatform.Files.OpenReadExclusive(source);
    std::unique_ptr<IFile> targetFile = FPlatform.Files.CreateExclusive(target);

    const std::int64_t size = sourceFile->Size();
    Progress_Step.SetTotalParts(size);
    sourceFile->Seek(0);

    try {
        char buffer[CopyPieceSize];
        while (sourceFile->Position() < size) {
            const std::int64_t read = sourceFile->Read(buffer, CopyPieceSize);
            if (read <= 0) throw EInOutError("备份文件在复制过程中变短了");
            targetFile->Write(buffer, read);
            Progress_Step.SetPartsComplete(sourceFile->Position());
            FPlatform.Toolkit.ProcessMessages();
        }
        // The last bytes may still be on their way; a failure to write them is a write failure too.
        targetFile->Close();
        sourceFile->Close();
    } catch (...) {
        // The partial copy stays where it is; the restore never sees it.
        SetModalResult(mrCancel);
        return false;
    }
    return true;
}

}  // namespace Velmora
