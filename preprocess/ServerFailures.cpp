#include <string>

#include "platform/Errors.h"
#include "preprocess/DealWithUFO.h"

namespace Velmora {

namespace {

constexpr unsigned ScManagerConnect = 0x0001;

std::string WithoutTrailingLineBreaks(std::string text)
{
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

std::string NumberLine(int number) { return "（SQL Server 错误 " + std::to_string(number) + "）"; }

}  // namespace

std::string VolumeOf(const std::string& folder)
{
    if (folder.size() >= 2 && folder[1] == ':') return folder.substr(0, 2) + "\\";
    // A share: \\server\share\ is the volume.
    if (folder.rfind("\\\\", 0) == 0) {
        const std::size_t server = folder.find('\\', 2);
        const std::size_t share = server == std::string::npos ? server : folder.find('\\', server + 1);
        return share == std::string::npos ? folder : folder.substr(0, share + 1);
    }
    return folder;
}

// The account is asked with the query-config right alone: a standard user holds it
// where the right to start the service is refused.
std::string TForm_DealWithUFO::ServerAccount()
{
    IServiceControl& services = FPlatform.Services;
    std::string account;
    const TServiceHandle manager = services.OpenSCManager(ScManagerConnect);
    if (manager == 0) return account;
    const TServiceHandle service = services.OpenService(manager, "MSSQLServer", ServiceAccess::QueryConfig);
    if (service != 0) {
        if (!services.QueryServiceAccount(service, account)) account.clear();
        services.CloseServiceHandle(service);
    }
    services.CloseServiceHandle(manager);
    return account;
}

std::string TForm_DealWithUFO::ExplainServerFailure(int number)
{
    const TRestoreFacts& facts = FRestoreFacts;
    const std::string server = facts.Server.Known() ? facts.Server.Text() : std::string("（版本未知）");
    switch (number) {
    case ServerError::CannotOpenBackup:
    case ServerError::DirectoryLookupFailed: {
        const std::string account = ServerAccount();
        const std::string who = account.empty() ? std::string("SQL Server 服务的登录账户") : "SQL Server 服务的登录账户“" + account + "”";
        return who + "不能读写文件夹“" + FWorkDir + "”，不能还原数据库。\n请给" +
               (account.empty() ? std::string("该账户") : "账户“" + account + "”") +
               "授予这个文件夹的读取和写入权限，或改用用户个人文件夹以外的主机文件夹。\n" + NumberLine(number);
    }
    case ServerError::IncompatibleVersion:
        return "备份由 SQL Server " + (facts.Set.Version.Known() ? facts.Set.Version.Text() : std::string("（版本未知）")) +
               " 写成，本机的 SQL Server 是 " + server + "，不能还原这个备份。\n请在能还原它的 SQL Server 上还原，"
               "或改用本机 SQL Server 能还原的备份。\n" + NumberLine(number);
    case ServerError::InsufficientSpace:
        return "磁盘“" + VolumeOf(FWorkDir) + "”空间不足，不能还原数据库：需要 " + std::to_string(facts.Needed) +
               " 字节，可用 " + std::to_string(facts.Free < 0 ? 0 : facts.Free) +
               " 字节。\n请清理这个磁盘，或把工作文件夹放到空间足够的磁盘上。\n" + NumberLine(number);
    case ServerError::EditionSizeLimit:
        return "本机的 SQL Server " + server + " 是限制数据库大小的版本（每个数据库最多 " +
               std::to_string(ExpressSizeCap(facts.Server) / (1024 * 1024)) + " MB），备份中的数据库有 " +
               std::to_string((facts.DataSize + 1024 * 1024 - 1) / (1024 * 1024)) +
               " MB，不能还原。\n请在不限制数据库大小的 SQL Server 版本上还原。\n" + NumberLine(number);
    case ServerError::MediaIncorrectlyFormed:
        if (facts.Set.Compressed && facts.Server.Known() && facts.Server.Major < 10) {
            return "备份是压缩备份，本机的 SQL Server " + server +
                   " 不能读取压缩备份。\n请在 SQL Server 2008 或更新的版本上还原，或改用不压缩的备份。\n" +
                   NumberLine(number);
        }
        if (facts.Server.Known() && facts.Server.Major < 10) {
            // This server cannot tell a compressed set from a damaged one.
            return "SQL Server " + server + " 不能读取这个备份：备份文件已损坏或不完整，或者是压缩备份"
                   "（SQL Server 2008 起才能读取）。\n请重新复制备份文件或重新备份后再试；压缩备份请在 SQL Server 2008 "
                   "或更新的版本上还原。\n" + NumberLine(number);
        }
        return "备份文件已损坏或不完整，SQL Server 不能读取。\n请重新复制备份文件，或重新备份后再试。\n" + NumberLine(number);
    case ServerError::MediaFamilyMissing:
        return "备份分成 " + std::to_string(facts.Families) +
               " 个文件（条带备份），这里只有其中一个，不能还原。\n请改用写成一个文件的完整备份。\n" + NumberLine(number);
    case ServerError::MediaPassword:
        return "备份设有密码，不能还原。\n请改用没有密码的备份。\n" + NumberLine(number);
    case ServerError::CertificateNotFound:
        return "备份已加密，本机的 SQL Server 没有解密它的证书，不能还原。\n请改用未加密的备份，或先在本机装入该证书。\n" +
               NumberLine(number);
    default:
        return std::string();
    }
}

void TForm_DealWithUFO::ShowProviderFailure(const std::string& text, const EProviderError& error)
{
    std::string shown = error.Number() != 0 ? ExplainServerFailure(error.Number()) : std::string();
    if (shown.empty()) {
        const std::string message = WithoutTrailingLineBreaks(error.what());
        shown = text;
        if (error.Number() != 0) shown += "\n（" + std::to_string(error.Number()) + "）" + message;
        else if (!message.empty()) shown += "\n" + message;
    }
    ShowMessage(shown, DealWithUFOText::CaptionWarning, MsgBox::IconWarning);
}

}  // namespace Velmora
