// velmora-standin-bridge: serves the stand-in server on 127.0.0.1 to the Wine run host.
//
// Usage: velmora-standin-bridge --server-dir DIR --port-file FILE
// At each start it writes a fresh random token to DIR/bridge.token (mode 0600, only
// its owner may read it), listens on an ephemeral loopback port and writes the port's
// number to FILE. Every client is served on its own thread; one client is one
// connection. Anyone on the machine can reach the port, so only a client that can
// read the token file, that is the bridge's own user, is served.
//
// Requests and answers are lines; a text travels with its byte count on the line before.
//   A <n>\n<token>               the first request of every connection  -> K | X
//   O <n>\n<connection string>   open a session      -> K | X
//   E <n>\n<statement>           run a statement     -> K | R | X
//   S <word>\n                   the Wine service's state, written to the stand-in's file -> K | X
//   C\n                          close the session   -> K
//   Q\n                          stop the bridge     -> K
// Answers:
//   K\n                          done, no rows
//   R <columns> <rows>\n then per column "<n>\n<name>", per value N\n | I <v>\n | F <v>\n | T <n>\n<text>
//   X <number> <n>\n<message>    a failure: the server's message number (0 when none) and its message
// A connection whose first request is not A with the token, or that sends no complete
// first request within 10 seconds, gets one X and is closed; so is one that sends a
// malformed request (a line over 1024 bytes, a count over 16 MiB or, before the token,
// over 1024 bytes, an unknown verb).
// At most 16 connections are served at once; the next gets one X and is closed.
// A client that goes away has its statement interrupted and its session closed.
// A stop lets the statement that runs finish, then closes every session (which
// rolls back what they left open) and ends the bridge.
// Drive paths in statements (Z:\dir\file) become POSIX paths (/dir/file): Wine maps Z: to /.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>

#include "platform/Errors.h"
#include "standin/Server.h"
#include "standin/StandinServiceControl.h"
#include "tools/standin-bridge/BridgeProtocol.h"

namespace {

using namespace Velmora;
using namespace Velmora::Bridge;

constexpr std::size_t MaxConnections = 16;
constexpr int FirstFrameSeconds = 10;
// A client that takes no part of an answer for this long is given up.
constexpr int SendSeconds = 30;
constexpr std::size_t TokenBytes = 32;
const char* const TokenFileName = "bridge.token";

// One connection's state that the stop looks at.
struct TClient {
    int Socket = -1;
    std::unique_ptr<Standin::TSession> Session;
};

// The stand-in serves one statement at a time; sessions, the client list and the
// stop are changed only under this lock. No socket is ever written under it.
std::mutex ServerLock;
std::set<TClient*> Clients;
bool Stopping = false;
std::atomic<std::size_t> Connections{0};

void SetTimeLimit(int socket, int option, int seconds)
{
    timeval limit{};
    limit.tv_sec = seconds;
    setsockopt(socket, SOL_SOCKET, option, &limit, sizeof limit);
}

// Writes to a client that does not read fail after SendSeconds: the thread is freed.
bool Write(int socket, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(socket, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// After a refusal the rest of the request may still be arriving. Closing with it
// unread makes the system answer with a reset, which can overtake the refusal; so
// the sending side is closed first and what still comes is read and dropped, for
// a second at the most.
void CloseAfterRefusal(int socket)
{
    shutdown(socket, SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    char sink[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd watch{socket, POLLIN, 0};
        if (left.count() <= 0 || poll(&watch, 1, static_cast<int>(left.count())) <= 0) break;
        if (recv(socket, sink, sizeof sink, 0) <= 0) break;
    }
}

// Whether the client has closed its end; what it may have sent ahead stays unread.
bool ClientGone(int socket)
{
    pollfd watch{socket, POLLRDHUP, 0};
    return poll(&watch, 1, 0) > 0 && (watch.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

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

// Carries out one request of an authenticated client, under the server's lock.
std::string Carry(TClient& client, const TFrame& frame, const std::string& serverDirectory)
{
    std::lock_guard<std::mutex> hold(ServerLock);
    if (Stopping) return ErrorAnswer(0, "the bridge is stopping");
    try {
        switch (frame.Verb) {
        case 'O': {
            client.Session.reset();
            client.Session =
                std::make_unique<Standin::TSession>(serverDirectory, Standin::ParseConnectionString(frame.Text));
            // SQLite's interrupt, through the session's ticker, ends the statement of a client that left.
            const int socket = client.Socket;
            client.Session->SetOnWait([socket] {
                if (ClientGone(socket)) throw EProviderError("the client closed its connection");
            });
            return "K\n";
        }
        case 'E':
            if (!client.Session) throw EProviderError("连接没有打开");
            return Answer(client.Session->Execute(PosixPaths(frame.Text)));
        case 'S':
            Standin::WriteServiceState(serverDirectory, frame.Word);
            return "K\n";
        case 'C':
            client.Session.reset();
            return "K\n";
        case 'Q':
            Stopping = true;
            return "K\n";
        default:
            return ErrorAnswer(0, "unknown request");
        }
    } catch (const EProviderError& error) {
        return ErrorAnswer(error.Number(), error.what());
    } catch (const std::bad_alloc&) {
        return ErrorAnswer(0, "There is insufficient system memory to run this query.");
    } catch (const std::exception& error) {
        return ErrorAnswer(0, error.what());
    }
}

void Serve(int socket, std::string serverDirectory, std::string token, int listener)
{
    TClient client;
    client.Socket = socket;
    {
        std::lock_guard<std::mutex> hold(ServerLock);
        Clients.insert(&client);
    }
    SetTimeLimit(socket, SO_SNDTIMEO, SendSeconds);
    // The first request must be complete before the deadline, however slowly it trickles in.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(FirstFrameSeconds);
    bool authenticated = false;
    TFrameReader reader([socket, &deadline, &authenticated](char* buffer, std::size_t size) -> std::size_t {
        for (;;) {
            int wait = -1;
            if (!authenticated) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0) {
                    throw EBridgeProtocolError("no authentication within " + std::to_string(FirstFrameSeconds) +
                                               " seconds");
                }
                wait = static_cast<int>(left.count());
            }
            pollfd watch{socket, POLLIN, 0};
            const int ready = poll(&watch, 1, wait);
            if (ready < 0 && errno != EINTR) return 0;
            if (ready <= 0) continue;
            const ssize_t n = recv(socket, buffer, size, 0);
            if (n < 0 && errno == EINTR) continue;
            return n > 0 ? static_cast<std::size_t>(n) : 0;
        }
    });
    reader.SetTextLimit(MaxLine);
    bool stop = false;
    try {
        TFrame frame;
        while (!stop && reader.Next(frame)) {
            if (!authenticated) {
                if (frame.Verb != 'A') throw EBridgeProtocolError("authenticate first: \"A <bytes>\" and the token");
                if (!SameToken(frame.Text, token)) throw EBridgeProtocolError("wrong token");
                authenticated = true;
                reader.SetTextLimit(MaxFrameText);
                if (!Write(socket, "K\n")) break;
                continue;
            }
            if (frame.Verb == 'A') {
                if (!Write(socket, "K\n")) break;
                continue;
            }
            const std::string answer = Carry(client, frame, serverDirectory);
            stop = frame.Verb == 'Q';
            if (!Write(socket, answer)) break;
        }
    } catch (const EBridgeProtocolError& error) {
        if (Write(socket, ErrorAnswer(0, error.what()))) CloseAfterRefusal(socket);
    } catch (const std::exception& error) {
        if (Write(socket, ErrorAnswer(0, error.what()))) CloseAfterRefusal(socket);
    }
    {
        std::lock_guard<std::mutex> hold(ServerLock);
        client.Session.reset();
        Clients.erase(&client);
    }
    // Wakes the listener's accept: main ends the bridge once no statement runs.
    if (stop) shutdown(listener, SHUT_RDWR);
    // The place is free before the client can see the connection end.
    --Connections;
    close(socket);
}

// A fresh token, readable by this user alone. A file left by an earlier run is
// replaced only when it is a plain file of ours; a link is never followed.
std::string WriteToken(const std::string& serverDirectory)
{
    unsigned char random[TokenBytes];
    std::size_t got = 0;
    while (got < sizeof random) {
        const ssize_t n = getrandom(random + got, sizeof random - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error(std::string("no random bytes: ") + std::strerror(errno));
        got += static_cast<std::size_t>(n);
    }
    static const char* const digits = "0123456789abcdef";
    std::string token;
    for (const unsigned char byte : random) {
        token += digits[byte >> 4];
        token += digits[byte & 0xF];
    }

    std::error_code ignored;
    std::filesystem::create_directories(serverDirectory, ignored);
    const std::string path = serverDirectory + "/" + TokenFileName;
    struct stat old {};
    if (lstat(path.c_str(), &old) == 0) {
        if (!S_ISREG(old.st_mode) || old.st_uid != geteuid()) {
            throw std::runtime_error(path + " is there and is not a plain file of this user's; remove it by hand");
        }
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            throw std::runtime_error("cannot remove the old " + path + ": " + std::strerror(errno));
        }
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    const bool written = fchmod(fd, 0600) == 0 && write(fd, token.data(), token.size()) ==
                                                      static_cast<ssize_t>(token.size());
    const int error = errno;
    if (close(fd) != 0 || !written) {
        unlink(path.c_str());
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(error));
    }
    return token;
}

// Refuses a connection beyond the limit, without waiting on the client.
void Refuse(int client, const std::string& why)
{
    SetTimeLimit(client, SO_SNDTIMEO, 1);
    Write(client, ErrorAnswer(0, why));
    close(client);
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
    std::string token;
    try {
        token = WriteToken(serverDirectory);
    } catch (const std::exception& error) {
        std::cerr << "velmora-standin-bridge: " << error.what() << "\n";
        return 1;
    }
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
        const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            std::lock_guard<std::mutex> hold(ServerLock);
            if (Stopping) break;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: give the clients there are a moment to finish.
                poll(nullptr, 0, 100);
            }
            continue;
        }
        if (Connections >= MaxConnections) {
            Refuse(client, "too many connections: at most " + std::to_string(MaxConnections) + " at once");
            continue;
        }
        ++Connections;
        try {
            std::thread(Serve, client, serverDirectory, token, listener).detach();
        } catch (const std::system_error&) {
            --Connections;
            Refuse(client, "the bridge cannot take another connection now");
        }
    }
    // The lock is free only between statements: every session is closed, rolling
    // back what it left open, and the threads still waiting find the bridge stopping.
    std::lock_guard<std::mutex> hold(ServerLock);
    for (TClient* client : Clients) {
        client->Session.reset();
        shutdown(client->Socket, SHUT_RDWR);
    }
    unlink((serverDirectory + "/" + TokenFileName).c_str());
    std::_Exit(0);
}
