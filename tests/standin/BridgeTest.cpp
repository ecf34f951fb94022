// velmora-standin-bridge over a real loopback socket: what it refuses and where it
// stops a client, each as a client on the machine would meet it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "StandinTestSupport.h"

namespace Velmora::StandinTests {
namespace {

std::string Frame(const std::string& verb, const std::string& text)
{
    return verb + " " + std::to_string(text.size()) + "\n" + text;
}

class BridgeTest : public TStandinTest {
protected:
    void SetUp() override
    {
        TStandinTest::SetUp();
        const std::string port = (Root / "port").string();
        FBridge = fork();
        if (FBridge == 0) {
            execl(VELMORA_BRIDGE_TOOL, VELMORA_BRIDGE_TOOL, "--server-dir", ServerDir.c_str(), "--port-file",
                  port.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // The port file appears once the bridge listens; the test's timeout bounds the wait.
        while (ReadBytes(port).empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        FPort = static_cast<unsigned short>(std::stoi(ReadBytes(port)));
        Token = ReadBytes(std::filesystem::path(ServerDir) / "bridge.token");
    }
    void TearDown() override
    {
        kill(FBridge, SIGKILL);
        waitpid(FBridge, nullptr, 0);
        TStandinTest::TearDown();
    }

    // A connection whose reads give up after 30 seconds.
    int Connect()
    {
        const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(FPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        timeval limit{30, 0};
        setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        return socket;
    }
    static void Send(int socket, const std::string& bytes)
    {
        ASSERT_EQ(send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // Everything until the bridge closes the connection; "<open>" is appended when it does not.
    static std::string UntilClosed(int socket)
    {
        std::string answer;
        char buffer[4096];
        ssize_t n = 0;
        while ((n = recv(socket, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, static_cast<std::size_t>(n));
        const bool reset = n < 0 && errno == ECONNRESET;  // it closed with the rest of the request unread
        close(socket);
        return n == 0 || reset ? answer : answer + "<open>";
    }
    // The next count answer lines, each ended by "|", or what came until the connection failed.
    static std::string Lines(int socket, int count)
    {
        std::string lines;
        char c = 0;
        while (count > 0 && recv(socket, &c, 1, 0) == 1) {
            if (c == '\n') --count;
            lines += c == '\n' ? '|' : c;
        }
        return lines;
    }
    std::string Open() const { return Frame("A", Token) + "S running\n" + Frame("O", MasterConnection); }

    std::string Token;

private:
    pid_t FBridge = -1;
    unsigned short FPort = 0;
};

TEST_F(BridgeTest, OnlyItsOwnUserIsServedAndNoRequestOutgrowsItsLimits)
{
    struct stat token {};
    ASSERT_EQ(stat((std::filesystem::path(ServerDir) / "bridge.token").c_str(), &token), 0);
    EXPECT_EQ(token.st_mode & 0777, 0600u);
    EXPECT_GE(Token.size() * 4, 128u) << "hexadecimal digits";

    // Connections beyond 16 are turned away at once.
    std::vector<int> held;
    for (int k = 0; k < 16; ++k) held.push_back(Connect());
    EXPECT_EQ(UntilClosed(Connect()).substr(0, 4), "X 0 ");
    for (const int socket : held) {
        Send(socket, "Q\n");
        UntilClosed(socket);
    }

    std::string wrong = Token;
    wrong[0] = wrong[0] == '0' ? '1' : '0';
    const struct {
        const char* What;
        std::string Request;
        std::string Answered;  // then one error, and the connection is closed
        const char* Says;
    } refused[] = {
        {"no token", "S running\n", "", "authenticate first"},
        {"no token, a stop", "Q\n", "", "authenticate first"},
        {"a wrong token", Frame("A", wrong) + "Q\n", "", "wrong token"},
        {"no token, a frame over 1 KiB", "E 1025\n", "", "more than 1024 bytes"},
        {"a frame over 16 MiB", Frame("A", Token) + "E 16777217\n", "K\n", "more than 16777216 bytes"},
        {"a line without its end", Frame("A", Token) + "S " + std::string(1 << 20, 'x'), "K\n", "longer than 1024"},
    };
    for (const auto& row : refused) {
        const int socket = Connect();
        // The bridge may close before it has taken a refused request whole.
        static_cast<void>(send(socket, row.Request.data(), row.Request.size(), MSG_NOSIGNAL));
        const std::string answer = UntilClosed(socket);
        EXPECT_EQ(answer.substr(0, row.Answered.size() + 4), row.Answered + "X 0 ") << row.What << ": " << answer;
        EXPECT_NE(answer.find(row.Says), std::string::npos) << row.What << ": " << answer;
        EXPECT_EQ(answer.find("<open>"), std::string::npos) << row.What;
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(ServerDir) / "service")) << "S was not carried out";

    // The server's message number travels with its message.
    const int client = Connect();
    Send(client, Open() + Frame("E", "create table t (a varchar(2)); insert into t values ('abc')"));
    EXPECT_EQ(Lines(client, 4), "K|K|K|X 8152 41|");
    close(client);
}

TEST_F(BridgeTest, AClientThatLeavesHasItsStatementInterrupted)
{
    const int leaving = Connect();
    Send(leaving, Open());
    ASSERT_EQ(Lines(leaving, 3), "K|K|K|");
    // Minutes of work, holding the server while it runs.
    Send(leaving, Frame("E", "with c(x) as (select 1 union all select x + 1 from c where x < 2000000000) "
                             "select count(*) from c"));
    close(leaving);

    const int next = Connect();
    Send(next, Open() + Frame("E", "select 1 as one"));
    EXPECT_EQ(Lines(next, 4), "K|K|K|R 1 1|") << "served within 30 seconds";
    close(next);
}

}  // namespace
}  // namespace Velmora::StandinTests
