// VelmoraWineRun: a whole run of Velmora.dll under Wine, with the database answered
// by the stand-in server through velmora-standin-bridge. The fake ADO objects of this
// process forward every statement over a loopback socket; the run's message boxes
// are read, printed and closed, and the chooser's row is ticked through messages.
//
// Usage: VelmoraWineRun.exe PORTFILE TOKENFILE HOSTFOLDER BACKUP YEAR SET SCREENS
//   (Windows paths; TOKENFILE is the bridge's token in its server directory; HOSTFOLDER
//   ends with a backslash; SET 0 leaves the chooser's first row)
// Prints the result string (UTF-8) on stdout; exit 0 for a connection string, 1 for "0",
// 2 when the run could not be set up. With VELMORA_WINE_RUN_TRACE set, the status lines
// the dialog showed and the number of boxes also go to stderr.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>

#include "FakeAdo.h"
#include "platform/win32/Win32Toolkit.h"
#include "tests/win32/WinTestSupport.h"

namespace {

using namespace Velmora;
using namespace Velmora::WinTest;

using TDoIt = void(__stdcall*)(BSTR* result, HWND hostWindow, const char* hostFolder, const char* backupFile,
                               const char* year);

constexpr long ProviderFailure = static_cast<long>(0x80040E14);

std::string Utf8(const std::wstring& text) { return FromWide(text.data(), text.size()); }

// One bridge connection per ADO connection of the run.
class TBridge {
public:
    // serviceState: the Wine service's state as a word of the stand-in's service file.
    TBridge(unsigned short port, std::string token, std::function<std::string()> serviceState)
        : FPort(port), FToken(std::move(token)), FServiceState(std::move(serviceState))
    {
    }
    ~TBridge()
    {
        for (auto& entry : FSockets) closesocket(entry.second);
    }

    TFakeAnswer Answer(const TFakeStatement& statement)
    {
        TFakeAnswer answer;
        SOCKET socket = SocketFor(statement, answer);
        if (socket == INVALID_SOCKET) return answer;
        const std::string text = Utf8(statement.Text);
        Send(socket, "E " + std::to_string(text.size()) + "\n" + text);
        Read(socket, answer);
        // A little asynchronous work for every statement: the wait path runs the whole job.
        answer.BusyPolls = 2;
        return answer;
    }

    void Closed(const void* connection)
    {
        const auto found = FSockets.find(connection);
        if (found == FSockets.end()) return;
        TFakeAnswer ignored;
        Send(found->second, "C\n");
        Read(found->second, ignored);
        closesocket(found->second);
        FSockets.erase(found);
    }

    // The stand-in's own service state follows the Wine service the DLL started.
    void ServiceState(const std::string& word)
    {
        TFakeAnswer answer;
        SOCKET socket = Connect(answer);
        if (socket == INVALID_SOCKET) return;
        Send(socket, "S " + word + "\n");
        Read(socket, answer);
        closesocket(socket);
    }

private:
    SOCKET Connect(TFakeAnswer& answer)
    {
        SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(FPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (socket == INVALID_SOCKET || connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            if (socket != INVALID_SOCKET) closesocket(socket);
            answer.Errors.push_back({ProviderFailure, L"[DBNETLIB][ConnectionOpen (Connect()).]SQL Server 不存在或拒绝访问。"});
            return INVALID_SOCKET;
        }
        // The bridge serves only those who can read its token.
        Send(socket, "A " + std::to_string(FToken.size()) + "\n" + FToken);
        Read(socket, answer);
        if (!answer.Errors.empty()) {
            closesocket(socket);
            return INVALID_SOCKET;
        }
        return socket;
    }

    SOCKET SocketFor(const TFakeStatement& statement, TFakeAnswer& answer)
    {
        const auto found = FSockets.find(statement.Connection);
        if (found != FSockets.end()) return found->second;
        SOCKET socket = Connect(answer);
        if (socket == INVALID_SOCKET) return socket;
        // The stand-in serves connections only while its own service state says running:
        // it follows the Wine service, asked here rather than watched, since Wine's service
        // manager can lose a handle when another thread queries it during a start.
        Send(socket, "S " + FServiceState() + "\n");
        Read(socket, answer);
        const std::string text = Utf8(statement.ConnectionString);
        Send(socket, "O " + std::to_string(text.size()) + "\n" + text);
        if (answer.Errors.empty()) Read(socket, answer);
        if (!answer.Errors.empty()) {
            closesocket(socket);
            return INVALID_SOCKET;
        }
        FSockets[statement.Connection] = socket;
        return socket;
    }

    static void Send(SOCKET socket, const std::string& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const int n = send(socket, bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }

    static bool Bytes(SOCKET socket, char* target, std::size_t size)
    {
        while (size > 0) {
            const int n = recv(socket, target, static_cast<int>(size), 0);
            if (n <= 0) return false;
            target += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }

    static bool Line(SOCKET socket, std::string& line)
    {
        line.clear();
        char c = 0;
        while (Bytes(socket, &c, 1)) {
            if (c == '\n') return true;
            line += c;
        }
        return false;
    }

    static bool Counted(SOCKET socket, std::size_t size, std::wstring& text)
    {
        std::string bytes(size, '\0');
        if (size > 0 && !Bytes(socket, &bytes[0], size)) return false;
        text = ToWide(bytes);
        return true;
    }

    static void Read(SOCKET socket, TFakeAnswer& answer)
    {
        std::string line;
        const auto lost = [&answer] { answer.Errors.push_back({ProviderFailure, L"[DBNETLIB]一般性网络错误。"}); };
        if (!Line(socket, line) || line.empty()) return lost();
        if (line[0] == 'K') return;
        if (line[0] == 'X') {
            // X <number> <bytes>: the number is the server's, as the provider's NativeError gives it.
            long number = 0;
            unsigned long size = 0;
            std::wstring message;
            if (std::sscanf(line.c_str(), "X %ld %lu", &number, &size) != 2 || !Counted(socket, size, message)) {
                return lost();
            }
            answer.Errors.push_back({ProviderFailure, message});
            answer.NativeErrors.resize(answer.Errors.size() - 1);
            answer.NativeErrors.push_back(number);
            return;
        }
        unsigned long columns = 0;
        unsigned long rows = 0;
        if (std::sscanf(line.c_str(), "R %lu %lu", &columns, &rows) != 2) return lost();
        for (unsigned long i = 0; i < columns; ++i) {
            std::wstring name;
            if (!Line(socket, line) || !Counted(socket, std::stoul(line), name)) return lost();
            answer.Columns.push_back(name);
        }
        for (unsigned long r = 0; r < rows; ++r) {
            std::vector<TFakeValue> row;
            for (unsigned long c = 0; c < columns; ++c) {
                if (!Line(socket, line) || line.empty()) return lost();
                if (line[0] == 'N') {
                    row.push_back(FakeNull());
                } else if (line[0] == 'I') {
                    const long long value = std::stoll(line.substr(2));
                    row.push_back(value >= -2147483647LL - 1 && value <= 2147483647LL ? FakeI4(static_cast<long>(value))
                                                                                   : FakeI8(value));
                } else if (line[0] == 'F') {
                    row.push_back(FakeR8(std::strtod(line.c_str() + 2, nullptr)));
                } else {
                    std::wstring text;
                    if (!Counted(socket, std::stoul(line.substr(2)), text)) return lost();
                    row.push_back(FakeText(text));
                }
            }
            answer.Rows.push_back(row);
        }
    }

    unsigned short FPort;
    std::string FToken;
    std::function<std::string()> FServiceState;
    std::map<const void*, SOCKET> FSockets;
};

std::wstring Wide(const char* text)
{
    const int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size - 1 : 0), L'\0');
    if (size > 1) MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], size);
    return wide;
}

struct TChooserDriver {
    int Set = 0;
    std::wstring Screens;
    volatile LONG Stop = 0;
    std::wstring LastStatus;
    int Stage = 0;
    bool ChooserDone = false;

    static DWORD WINAPI Run(void* self)
    {
        auto* driver = static_cast<TChooserDriver*>(self);
        while (InterlockedCompareExchange(&driver->Stop, 0, 0) == 0) {
            driver->Look();
            Sleep(20);
        }
        return 0;
    }

    void Look()
    {
        // One picture of the progress dialog for every status the run shows.
        HWND progress = FindProcessWindow(Win32Controls::ProgressFormClass);
        HWND label = progress != nullptr ? FindControl(progress, Win32Controls::RzLabel_ShowInfo) : nullptr;
        const std::wstring status = label != nullptr ? TextOf(label) : std::wstring();
        if (!status.empty() && status != LastStatus) {
            LastStatus = status;
            Sleep(50);
            SaveScreenshot(progress, L"wine-run-progress-" + std::to_wstring(++Stage));
        }
        HWND chooser = FindProcessWindow(Win32Controls::ChooserFormClass);
        if (chooser == nullptr || ChooserDone) return;
        ChooserDone = true;
        Sleep(200);
        SaveScreenshot(chooser, L"wine-run-chooser");
        HWND list = FindControl(chooser, Win32Controls::List_Files);
        if (Set > 0 && list != nullptr) {
            // Ticking the row's box as the list view does: its state image, announced to the form.
            LVITEMW item{};
            item.stateMask = LVIS_STATEIMAGEMASK;
            item.state = INDEXTOSTATEIMAGEMASK(2);
            SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(Set - 1), reinterpret_cast<LPARAM>(&item));
            SaveScreenshot(chooser, L"wine-run-chooser-ticked");
        }
        HWND ok = FindControl(chooser, Win32Controls::Btn_OK);
        if (ok != nullptr) SendMessageW(ok, BM_CLICK, 0, 0);
    }
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 8) {
        std::fprintf(stderr, "usage: VelmoraWineRun.exe PORTFILE TOKENFILE HOSTFOLDER BACKUP YEAR SET SCREENS\n");
        return 2;
    }
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    WSADATA sockets;
    if (WSAStartup(MAKEWORD(2, 2), &sockets) != 0) return 2;
    CoInitialize(nullptr);

    std::string portText;
    if (!ReadWholeFile(Wide(argv[1]), portText)) {
        std::fprintf(stderr, "no bridge port in %s\n", argv[1]);
        return 2;
    }
    std::string token;
    if (!ReadWholeFile(Wide(argv[2]), token)) {
        std::fprintf(stderr, "no bridge token in %s\n", argv[2]);
        return 2;
    }
    TStandInService* installed = nullptr;
    TBridge bridge(static_cast<unsigned short>(std::atoi(portText.c_str())), token, [&installed] {
        const DWORD state = installed != nullptr ? installed->State() : 0;
        return std::string(state == SERVICE_RUNNING ? "running" : state == SERVICE_PAUSED ? "paused" : "stopped");
    });
    TFakeAdoProvider provider([&bridge](const TFakeStatement& statement) { return bridge.Answer(statement); },
                              [&bridge](const void* connection) { bridge.Closed(connection); });
    if (!provider.Registered()) {
        std::fprintf(stderr, "the fake ADO classes could not be registered\n");
        return 2;
    }

    RemoveSqlService();
    TStandInService service{ProgramFolder() + L"VelmoraFakeService.exe"};
    if (!service.Installed()) {
        std::fprintf(stderr, "the MSSQLServer service could not be installed: %s\n", service.Failure().c_str());
        return 2;
    }
    installed = &service;
    bridge.ServiceState("stopped");

    HMODULE library = LoadLibraryW((ProgramFolder() + L"Velmora.dll").c_str());
    FARPROC entry = library != nullptr ? GetProcAddress(library, "DoIt") : nullptr;
    if (entry == nullptr) {
        std::fprintf(stderr, "Velmora.dll or its DoIt is missing\n");
        return 2;
    }
    TDoIt doIt = nullptr;
    std::memcpy(&doIt, &entry, sizeof doIt);

    SetEnvironmentVariableW(L"VELMORA_SCREENS_DIR", Wide(argv[7]).c_str());
    TChooserDriver driver;
    driver.Set = std::atoi(argv[6]);
    TScreenWatcher watcher([&](const TSeenBox& box) {
        std::fprintf(stderr, "[%s] %s\n", Utf8(box.Caption).c_str(), Utf8(box.Text).c_str());
    });
    HANDLE thread = CreateThread(nullptr, 0, &TChooserDriver::Run, &driver, 0, nullptr);
    THostWindow host(L"Velmora Wine run");

    BSTR result = nullptr;
    doIt(&result, host.Handle(), argv[3], argv[4], argv[5]);

    InterlockedExchange(&driver.Stop, 1);
    WaitForSingleObject(thread, INFINITE);
    if (std::getenv("VELMORA_WINE_RUN_TRACE") != nullptr) {
        for (const auto& status : watcher.StatusTexts()) std::fprintf(stderr, "status: %s\n", Utf8(status).c_str());
        std::fprintf(stderr, "boxes: %u, chooser: %d\n", static_cast<unsigned>(watcher.Boxes().size()),
                     driver.ChooserDone ? 1 : 0);
    }
    const std::wstring text = result != nullptr ? std::wstring(result, SysStringLen(result)) : std::wstring(L"0");
    SysFreeString(result);
    std::printf("%s\n", Utf8(text).c_str());
    std::fflush(stdout);
    return text == L"0" ? 1 : 0;
}
