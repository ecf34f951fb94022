#pragma once
// Temporary folders, captured descriptors and child processes for the POSIX tests.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace Velmora::PosixTest {

// A fresh folder under TMPDIR, removed with everything in it.
class TTempDir {
public:
    TTempDir()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/velmora-posix-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!::mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
        FPath = buffer.data();
    }
    ~TTempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(FPath, ignored);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    const std::string& Path() const { return FPath; }
    std::string operator/(const std::string& name) const { return FPath + "/" + name; }

private:
    std::string FPath;
};

inline std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteWholeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// An anonymous file that stands where a terminal or a log would.
class TCapture {
public:
    TCapture() : FFile(std::tmpfile()) {}
    ~TCapture()
    {
        if (FFile) std::fclose(FFile);
    }
    TCapture(const TCapture&) = delete;
    TCapture& operator=(const TCapture&) = delete;

    int Fd() const { return ::fileno(FFile); }
    std::string Text() const
    {
        std::string text;
        char chunk[4096];
        off_t offset = 0;
        for (;;) {
            const ssize_t got = ::pread(Fd(), chunk, sizeof chunk, offset);
            if (got <= 0) break;
            text.append(chunk, static_cast<std::size_t>(got));
            offset += got;
        }
        return text;
    }

private:
    std::FILE* FFile;
};

// The read end of a pipe that already holds all its input and then ends.
class TInput {
public:
    explicit TInput(const std::string& text)
    {
        int ends[2];
        if (::pipe(ends) != 0) throw std::runtime_error("pipe failed");
        FRead = ends[0];
        // Small inputs fit in the pipe's buffer, so the write cannot block.
        [[maybe_unused]] const ssize_t written = ::write(ends[1], text.data(), text.size());
        ::close(ends[1]);
    }
    ~TInput() { ::close(FRead); }
    TInput(const TInput&) = delete;
    TInput& operator=(const TInput&) = delete;
    int Fd() const { return FRead; }
    // What nobody has read yet.
    std::string Rest() const
    {
        std::string text;
        char chunk[256];
        ssize_t got;
        while ((got = ::read(FRead, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(got));
        return text;
    }

private:
    int FRead = -1;
};

// Points a standard descriptor elsewhere for the life of the object.
class TRedirect {
public:
    TRedirect(int fd, int target) : FFd(fd), FSaved(::dup(fd)) { ::dup2(target, fd); }
    ~TRedirect()
    {
        ::dup2(FSaved, FFd);
        ::close(FSaved);
    }
    TRedirect(const TRedirect&) = delete;
    TRedirect& operator=(const TRedirect&) = delete;

private:
    int FFd;
    int FSaved;
};

struct TProcessResult {
    int ExitCode = -1;
    std::string Out;
    std::string Err;
};

// Runs a program with the given input, extra environment and captured output, in
// the given folder (or this one).
inline TProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input,
                                 const std::map<std::string, std::string>& environment,
                                 const std::string& folder = std::string())
{
    TCapture out;
    TCapture err;
    TInput in(input);
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(in.Fd(), 0);
        ::dup2(out.Fd(), 1);
        ::dup2(err.Fd(), 2);
        for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
        if (!folder.empty() && ::chdir(folder.c_str()) != 0) ::_exit(126);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    TProcessResult result;
    int status = 0;
    ::waitpid(child, &status, 0);
    result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.Out = out.Text();
    result.Err = err.Text();
    return result;
}

}  // namespace Velmora::PosixTest
