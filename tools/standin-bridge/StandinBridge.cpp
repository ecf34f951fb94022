// velmora-standin-bridge: serves the stand-in server on 127.0.0.1 to the Wine run host.
//
// Usage: velmora-standin-bridge --server-dir DIR --port-file FILE
// Listens on an ephemeral loopback port, writes its number to FILE, and serves every
// client on its own thread until a client sends "Q". One client is one connection.
// Requests and answers are lines, each text followed by its byte count on the line before:
//   O <n>\n<connection string>   open a session      -> K | X
//   E <n>\n<statement>           run a statement     -> K | R | X
//   S <word>\n                   the Wine service's state, written to the stand-in's file -> K
//   C\n                          close the session   -> K
//   Q\n                          stop the bridge
//   K\n                          done, no rows
//   R <columns> <rows>\n then per column "<n>\n<name>", per value N\n | I <v>\n | F <v>\n | T <n>\n<text>
//   X <n>\n<message>             a provider error
// Drive paths in statements (Z:\dir\file) become POSIX paths (/dir/file): Wine maps Z: to /.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Errors.h"
#include "standin/Server.h"
#include "standin/StandinServiceControl.h"

namespace {

using namespace Velmora;

std::mutex ServerLock;  // the stand-in serves one statement at a time

class TChannel {
public:
    explicit TChannel(int socket) : FSocket(socket) {}
    ~TChannel() { close(FSocket); }

    bool ReadLine(std::string& line)
    {
        line.clear();
        char c = 0;
        while (ReadBytes(&c, 1)) {
            if (c == '\n') return true;
            line += c;
        }
        return false;
    }
    bool ReadText(std::size_t size, std::string& text)
    {
        text.assign(size, '\0');
        return size == 0 || ReadBytes(&text[0], size);
    }
    void Write(const std::string& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = send(FSocket, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }

private:
    bool ReadBytes(char* target, std::size_t size)
    {
        while (size > 0) {
            const ssize_t n = recv(FSocket, target, size, 0);
            if (n <= 0) return false;
            target += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }
    int FSocket;
};

std::string Counted(const std::string& text) { return std::to_string(text.size()) + "\n" + text; }

// Z:\a\b.bak -> /a/b.bak, inside the statement's literals only.
std::string PosixPaths(const std::string& statement)
{
    std::string out;
    bool inLiteral = false;
    bool inPath = false;
    for (std::size_t i = 0; i < statement.size(); ++i) {
        const char c = statement[i];
        if (c == '\'') {
            inLiteral = !inLiteral;
            inPath = false;
            out += c;
            continue;
        }
        if (inLiteral && !inPath && (c == 'Z' || c == 'z') && i + 2 < statement.size() && statement[i + 1] == ':' &&
            statement[i + 2] == '\\' && (i == 0 || statement[i - 1] == '\'')) {
            inPath = true;
            i += 1;  // the backslash after the colon becomes the root
            continue;
        }
        out += inPath && c == '\\' ? '/' : c;
    }
    return out;
}

std::string Answer(const Standin::TResultSet& result)
{
    if (result.Columns.empty()) return "K\n";
    std::string out = "R " + std::to_string(result.Columns.size()) + " " + std::to_string(result.Rows.size()) + "\n";
    for (const auto& column : result.Columns) out += Counted(column);
    char number[64];
    for (const auto& row : result.Rows) {
        for (const auto& value : row) {
            switch (value.Kind()) {
            case TFieldValue::TKind::Null:
                out += "N\n";
                break;
            case TFieldValue::TKind::Integer:
                out += "I " + std::to_string(value.AsInteger()) + "\n";
                break;
            case TFieldValue::TKind::Float:
                std::snprintf(number, sizeof number, "%.17g", value.AsFloat());
                out += std::string("F ") + number + "\n";
                break;
            case TFieldValue::TKind::Text:
                out += "T " + Counted(value.AsString());
                break;
            }
        }
    }
    return out;
}

void Serve(int socket, const std::string& serverDirectory, int listener)
{
    TChannel channel(socket);
    std::unique_ptr<Standin::TSession> session;
    std::string line;
    while (channel.ReadLine(line)) {
        if (line.empty()) continue;
        const char verb = line[0];
        if (verb == 'Q') {
            shutdown(listener, SHUT_RDWR);
            return;
        }
        std::string text;
        if (verb == 'O' || verb == 'E') {
            char* end = nullptr;
            const unsigned long size = line.size() > 2 ? std::strtoul(line.c_str() + 2, &end, 10) : 0;
            if (end == nullptr || *end != '\0' || size > (64ul << 20) || !channel.ReadText(size, text)) return;
        }
        std::lock_guard<std::mutex> hold(ServerLock);
        try {
            if (verb == 'O') {
                session.reset();
                session = std::make_unique<Standin::TSession>(serverDirectory, Standin::ParseConnectionString(text));
                channel.Write("K\n");
            } else if (verb == 'E') {
                if (!session) throw EProviderError("连接没有打开");
                channel.Write(Answer(session->Execute(PosixPaths(text))));
            } else if (verb == 'S') {
                WriteServiceState(serverDirectory, line.substr(2));
                channel.Write("K\n");
            } else if (verb == 'C') {
                session.reset();
                channel.Write("K\n");
            } else {
                channel.Write("X " + Counted("unknown request"));
            }
        } catch (const std::exception& error) {
            channel.Write("X " + Counted(error.what()));
        }
    }
    std::lock_guard<std::mutex> hold(ServerLock);
    session.reset();
}

}  // namespace

int main(int argc, char** argv)
{
    std::string serverDirectory;
    std::string portFile;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--server-dir") serverDirectory = argv[i + 1];
        if (name == "--port-file") portFile = argv[i + 1];
    }
    if (serverDirectory.empty() || portFile.empty()) {
        std::cerr << "usage: velmora-standin-bridge --server-dir DIR --port-file FILE\n";
        return 2;
    }
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 16) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("velmora-standin-bridge");
        return 1;
    }
    {
        std::ofstream(portFile + ".part") << ntohs(address.sin_port) << "\n";
        std::rename((portFile + ".part").c_str(), portFile.c_str());
    }
    for (;;) {
        const int client = accept(listener, nullptr, nullptr);
        if (client < 0) break;
        std::thread(Serve, client, serverDirectory, listener).detach();
    }
    close(listener);
    return 0;
}
