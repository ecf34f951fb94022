#include <algorithm>
#include <exception>
#include <new>

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
    // A backup still being written grows under the copy; what it held when the copy
    // began is what the user chose, and the bytes past that are never written.
    const std::int64_t size = sourceFile->Size();

    // A copy that cannot fit would fill the disk the server needs next; it is refused
    // before a byte is written.
    const std::string folder = target.substr(0, target.find_last_of("/\\") + 1);
    const std::int64_t free = FPlatform.Files.FreeSpace(folder.empty() ? "." : folder);
    if (free >= 0 && size > free) {
        SetModalResult(mrCancel);
        ShowMessage("磁盘“" + VolumeOf(folder) + "”空间不足，不能复制备份文件：需要 " + std::to_string(size) +
                        " 字节，可用 " + std::to_string(free) + " 字节。\n请清理这个磁盘，或把工作文件夹放到空间足够的磁盘上。",
                    DealWithUFOText::CaptionError, MsgBox::IconError);
        return false;
    }
    std::unique_ptr<IFile> targetFile = FPlatform.Files.CreateExclusive(target);

    Progress_Step.SetTotalParts(size);
    sourceFile->Seek(0);

    std::string reason;
    try {
        char buffer[CopyPieceSize];
        std::int64_t copied = 0;
        while (copied < size) {
            const std::int64_t read = sourceFile->Read(buffer, CopyPieceSize);
            // Without this the loop would ask again and again for bytes that are gone.
            if (read <= 0) throw EInOutError("备份文件“" + source + "”在复制过程中变短了");
            const std::int64_t wanted = std::min(read, size - copied);
            targetFile->Write(buffer, wanted);
            copied += wanted;
            Progress_Step.SetPartsComplete(copied);
            FPlatform.Toolkit.ProcessMessages();
        }
        // The last bytes may still be on their way; a failure to write them is a write failure too.
        targetFile->Close();
        sourceFile->Close();
        return true;
    } catch (const std::bad_alloc&) {
        reason = "内存不足";
    } catch (const std::exception& error) {
        reason = error.what();
    } catch (...) {
        reason = "未知错误";
    }
    // A partial copy can hold gigabytes on a disk that is already full; it goes, and
    // only then is the user told, so that the box does not wait on a full disk.
    sourceFile.reset();
    targetFile.reset();
    try {
        FPlatform.Files.DeleteFile(target);
    } catch (...) {
    }
    SetModalResult(mrCancel);
    ShowMessage("复制备份文件失败：" + reason, DealWithUFOText::CaptionError, MsgBox::IconError);
    return false;
}

}  // namespace Velmora
