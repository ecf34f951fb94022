// velmora-backup create against sqlite3 reading the same script into a fresh
// database, at 200,000 and 1,000,000 voucher lines (or the sizes given).
// Goals: at most 1.5 x the time of sqlite3 at every size, and a peak memory of
// the tool no higher than the database's size plus a constant (32 MiB).
//
// Each round times sqlite3 and then the tool on the same script; the ratio
// reported is best against best. Exits 1 only when a program fails: a missed goal
// is reported, since at the tiny sizes the test command runs it is noise.
//
// Usage: velmora_media_benchmark [--rows N]... [--dir DIR] [--rounds N]

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

constexpr double AllowedRatio = 1.5;
constexpr double AllowedOverDatabaseMiB = 32;

struct TChildRun {
    bool Ok = false;
    double Seconds = 0;
    double PeakMiB = 0;
};

// Runs the program with stdin from the given file (or /dev/null), stdout and stderr
// passed through; its own peak memory comes back from wait4.
TChildRun RunChild(const std::vector<std::string>& arguments, const std::string& input)
{
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const auto start = TClock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        const int in = ::open(input.empty() ? "/dev/null" : input.c_str(), O_RDONLY);
        if (in < 0 || ::dup2(in, 0) < 0) ::_exit(127);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    TChildRun run;
    if (child < 0) return run;
    int status = 0;
    rusage usage{};
    if (::wait4(child, &status, 0, &usage) != child) return run;
    run.Seconds = std::chrono::duration<double>(TClock::now() - start).count();
    run.PeakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    run.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

// A company's voucher lines: codes, amounts with up to four decimals, Chinese remarks.
void WriteScript(const fs::path& path, long rows)
{
    std::ofstream out(path, std::ios::binary);
    out << "CREATE TABLE GL_accvouch (i_id INTEGER PRIMARY KEY, iperiod INTEGER, csign TEXT, ino_id INTEGER,\n"
           "  ccode TEXT, md REAL, mc REAL, cdigest TEXT, dbill_date TEXT);\n"
           "BEGIN;\n";
    unsigned long state = 20251208;
    char line[256];
    for (long k = 1; k <= rows; ++k) {
        state = state * 6364136223846793005ul + 1442695040888963407ul;
        const unsigned long r = state >> 20;
        const long amount = static_cast<long>(r % 100000000);
        const bool debit = ((r >> 30) & 1) != 0;
        char money[32];
        std::snprintf(money, sizeof money, "%ld.%04ld", amount / 10000, amount % 10000);
        std::snprintf(line, sizeof line,
                      "INSERT INTO GL_accvouch VALUES (%ld,%ld,'记',%ld,'%04lu%02lu%02lu',%s,%s,'摘要 %ld',"
                      "'2025-%02ld-%02ld');\n",
                      k, 1 + k % 12, k / 3, 1001 + r % 4000 / 4, r % 7, r % 5, debit ? money : "0",
                      debit ? "0" : money, k, 1 + k % 12, 1 + k % 28);
        out << line;
    }
    out << "COMMIT;\nCREATE INDEX GL_accvouch_ccode ON GL_accvouch (ccode);\n";
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<long> sizes;
    fs::path dir = fs::temp_directory_path() / "velmora-media-benchmark";
    int rounds = 1;
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (k + 1 < argc && arg == "--rows") {
            sizes.push_back(std::atol(argv[++k]));
        } else if (k + 1 < argc && arg == "--dir") {
            dir = argv[++k];
        } else if (k + 1 < argc && arg == "--rounds") {
            rounds = std::max(1, std::atoi(argv[++k]));
        } else {
            std::fprintf(stderr, "usage: velmora_media_benchmark [--rows N]... [--dir DIR] [--rounds N]\n");
            return 2;
        }
    }
    if (sizes.empty()) sizes = {200000, 1000000};
    std::error_code error;
    fs::create_directories(dir, error);
    if (error) {
        std::fprintf(stderr, "cannot create %s: %s\n", dir.c_str(), error.message().c_str());
        return 1;
    }

    for (const long rows : sizes) {
        const fs::path script = dir / ("company-" + std::to_string(rows) + ".sql");
        const fs::path database = dir / "sqlite3.db";
        const fs::path media = dir / "company.bak";
        WriteScript(script, rows);
        double bestShell = 1e300;
        double bestTool = 1e300;
        double peak = 0;
        for (int round = 0; round < rounds; ++round) {
            fs::remove(database, error);
            const TChildRun shell = RunChild({VELMORA_SQLITE3_SHELL, database.string()}, script.string());
            fs::remove(media, error);
            const TChildRun tool = RunChild({VELMORA_BACKUP_TOOL, "create", media.string(), "--database", "UFDATA",
                                             "--script", script.string()},
                                            "");
            if (!shell.Ok || !tool.Ok) {
                std::fprintf(stderr, "%s failed at %ld rows\n", shell.Ok ? "velmora-backup" : "sqlite3", rows);
                return 1;
            }
            bestShell = std::min(bestShell, shell.Seconds);
            bestTool = std::min(bestTool, tool.Seconds);
            peak = std::max(peak, tool.PeakMiB);
        }
        const double scriptMiB = static_cast<double>(fs::file_size(script)) / 1048576.0;
        const double databaseMiB = static_cast<double>(fs::file_size(database)) / 1048576.0;
        const double ratio = bestTool / bestShell;
        const bool ratioOk = ratio <= AllowedRatio;
        const bool memoryOk = peak <= databaseMiB + AllowedOverDatabaseMiB;
        std::printf("%ld rows: script %.1f MiB, database %.1f MiB\n", rows, scriptMiB, databaseMiB);
        std::printf("  sqlite3:        %.2f s\n", bestShell);
        std::printf("  velmora-backup: %.2f s, peak %.1f MiB\n", bestTool, peak);
        std::printf("  ratio:          %.2f x sqlite3   (goal <= %.1f)  %s\n", ratio, AllowedRatio,
                    ratioOk ? "met" : "MISSED");
        std::printf("  peak memory:    %.1f MiB         (goal <= %.1f)  %s\n", peak,
                    databaseMiB + AllowedOverDatabaseMiB, memoryOk ? "met" : "MISSED");
        fs::remove(script, error);
        fs::remove(database, error);
        fs::remove(media, error);
    }
    return 0;
}
