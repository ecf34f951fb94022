// The staging copy of a large backup on Windows (or under Wine), through
// TForm_DealWithUFO::CopyBackupFile with the Win32 toolkit's message processing and
// the Win32 files, timed against the system's own CopyFileW in the same run and,
// when the caller measured it, against cp of the same file.
// Goals: at most 1.5 x the time of cp, no gap over 50 ms between two
// ProcessMessages calls, and memory that does not grow with the file.
//
// Usage: velmora_win32_copy_benchmark --source FILE [--rounds N] [--cp-seconds S] [--peek-every-ms N]
//   The copies are made beside FILE and deleted; FILE itself is only read.
//   --peek-every-ms N hands only one message-processing call in N ms on to the
//   toolkit (each one asks the system for messages): what a toolkit that looks at
//   its queue by time rather than per piece would cost. The gaps are then measured
//   between the calls handed on.
//   benchmarks/copy/wine-copy-benchmark.sh makes the file, times cp and runs this.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "benchmarks/copy/BenchmarkPorts.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32FileSystem.h"
#include "platform/win32/Win32TextConversion.h"
#include "platform/win32/Win32Toolkit.h"
#include "preprocess/DealWithUFO.h"

#include <psapi.h>  // after the system headers it extends

namespace {

using namespace Velmora;
using namespace Velmora::Benchmarks;

double Seconds(TClock::duration duration) { return std::chrono::duration<double>(duration).count(); }

double PeakMiB()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
}

bool SameContent(const std::wstring& a, const std::wstring& b)
{
    HANDLE fa = CreateFileW(a.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE fb = CreateFileW(b.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    bool same = fa != INVALID_HANDLE_VALUE && fb != INVALID_HANDLE_VALUE;
    std::vector<char> x(1 << 20), y(1 << 20);
    while (same) {
        DWORD na = 0;
        DWORD nb = 0;
        if (!ReadFile(fa, x.data(), static_cast<DWORD>(x.size()), &na, nullptr) ||
            !ReadFile(fb, y.data(), static_cast<DWORD>(y.size()), &nb, nullptr) || na != nb) {
            same = false;
        } else if (na == 0) {
            break;
        } else {
            same = std::equal(x.begin(), x.begin() + na, y.begin());
        }
    }
    if (fa != INVALID_HANDLE_VALUE) CloseHandle(fa);
    if (fb != INVALID_HANDLE_VALUE) CloseHandle(fb);
    return same;
}

// A smaller file of the same kind, copied first: peak memory after it and after the
// large copies must be the same.
void MakeSmallFile(const std::wstring& path, std::size_t bytes)
{
    std::vector<std::uint64_t> block(bytes / sizeof(std::uint64_t));
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (std::uint64_t& word : block) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        word = state;
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    if (file == INVALID_HANDLE_VALUE ||
        !WriteFile(file, block.data(), static_cast<DWORD>(block.size() * sizeof(std::uint64_t)), &written, nullptr)) {
        std::fprintf(stderr, "cannot write the small file (%lu)\n", GetLastError());
        std::exit(1);
    }
    CloseHandle(file);
}

// Forwards a call to the toolkit only once the given time has passed since the last.
class TThrottledToolkit : public TTimedToolkit {
public:
    TThrottledToolkit(IToolkit& inner, unsigned everyMs) : TTimedToolkit(inner), FEveryMs(everyMs) {}
    // The system's tick count: read from memory, where a precise clock would be a
    // system call per piece.
    void ProcessMessages() override
    {
        const DWORD now = GetTickCount();
        if (FForwarded && now - FLastForward < FEveryMs) return;
        FForwarded = true;
        FLastForward = now;
        TTimedToolkit::ProcessMessages();
    }

private:
    DWORD FEveryMs;
    DWORD FLastForward = 0;
    bool FForwarded = false;
};

struct TCopyResult {
    double Seconds = 0;
    double LongestGapMs = 0;
    std::uint64_t Calls = 0;
    bool Ok = false;
};

TCopyResult TimeStep(TTimedToolkit& toolkit, TPlatform& platform, const std::string& source, const std::string& target)
{
    TForm_DealWithUFO form(platform);
    // Only the copy is measured: the step driver must not start from the copy's message processing.
    form.StartTimer->SetEnabled(false);
    TCopyResult result;
    toolkit.Start();
    const TClock::time_point start = TClock::now();
    result.Ok = form.CopyBackupFile(source, target);
    result.Seconds = Seconds(TClock::now() - start);
    toolkit.Stop();
    result.LongestGapMs = std::chrono::duration<double, std::milli>(toolkit.LongestGap).count();
    result.Calls = toolkit.Calls;
    return result;
}

double TimeCopyFile(const std::wstring& source, const std::wstring& target)
{
    const TClock::time_point start = TClock::now();
    if (!CopyFileW(source.c_str(), target.c_str(), FALSE)) {
        std::fprintf(stderr, "CopyFileW failed: %lu\n", GetLastError());
        std::exit(1);
    }
    return Seconds(TClock::now() - start);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring source;
    int rounds = 3;
    double cpSeconds = 0;
    unsigned peekEveryMs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--source" && i + 1 < argc) {
            source = argv[++i];
        } else if (option == L"--rounds" && i + 1 < argc) {
            rounds = std::max(1, _wtoi(argv[++i]));
        } else if (option == L"--cp-seconds" && i + 1 < argc) {
            cpSeconds = _wtof(argv[++i]);
        } else if (option == L"--peek-every-ms" && i + 1 < argc) {
            peekEveryMs = static_cast<unsigned>(std::max(0, _wtoi(argv[++i])));
        } else {
            source.clear();
            break;
        }
    }
    if (source.empty()) {
        std::fprintf(stderr, "usage: velmora_win32_copy_benchmark --source FILE [--rounds N] [--cp-seconds S] [--peek-every-ms N]\n");
        return 2;
    }
    const std::wstring target = source + L".ufdatawk.temp";
    const std::wstring reference = source + L".copyfile";
    const std::string source8 = FromWide(source);
    const std::string target8 = FromWide(target);

    TWin32Toolkit win32;
    TThrottledToolkit toolkit(win32, peekEveryMs);
    TWin32FileSystem files;
    TWin32TextConversion text;
    TUnusedData data;
    TUnusedServices services;
    TPlatform platform{toolkit, services, data, files, text};

    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (!GetFileAttributesExW(source.c_str(), GetFileExInfoStandard, &attributes)) {
        std::fprintf(stderr, "no source file (%lu)\n", GetLastError());
        return 1;
    }
    const double mib =
        static_cast<double>((static_cast<std::uint64_t>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow) /
        (1024.0 * 1024.0);
    std::printf("Win32 copy benchmark: %.0f MiB, %d round(s), file buffers of %zu KiB, messages %s\n", mib, rounds,
                TWin32File::DefaultBufferSize / 1024,
                peekEveryMs == 0 ? "after every piece" : ("at most every " + std::to_string(peekEveryMs) + " ms").c_str());
    const double peakAtStart = PeakMiB();

    const std::wstring small = source + L".small";
    MakeSmallFile(small, 16u << 20);
    const TCopyResult first = TimeStep(toolkit, platform, FromWide(small), target8);
    bool allOk = first.Ok && SameContent(small, target);
    DeleteFileW(target.c_str());
    DeleteFileW(small.c_str());
    const double peakAfterSmall = PeakMiB();

    TimeCopyFile(source, reference);  // brings the source into the cache for both
    DeleteFileW(reference.c_str());

    double bestReference = 1e100;
    TCopyResult best;
    best.Seconds = 1e100;
    double worstGap = first.LongestGapMs;
    for (int round = 0; round < rounds; ++round) {
        const double referenceSeconds = TimeCopyFile(source, reference);
        DeleteFileW(reference.c_str());
        const TCopyResult step = TimeStep(toolkit, platform, source8, target8);
        allOk = allOk && step.Ok && SameContent(source, target);
        DeleteFileW(target.c_str());
        std::printf("  round %d: CopyFileW %.3f s, CopyBackupFile %.3f s (%.2f x), longest gap %.2f ms, %llu calls\n",
                    round + 1, referenceSeconds, step.Seconds, step.Seconds / referenceSeconds, step.LongestGapMs,
                    static_cast<unsigned long long>(step.Calls));
        bestReference = std::min(bestReference, referenceSeconds);
        if (step.Seconds < best.Seconds) best = step;
        worstGap = std::max(worstGap, step.LongestGapMs);
    }
    const double peakAfterLarge = PeakMiB();

    std::printf("best CopyFileW:      %.3f s\n", bestReference);
    std::printf("best CopyBackupFile: %.3f s (%.0f MiB/s), %.2f x CopyFileW\n", best.Seconds, mib / best.Seconds,
                best.Seconds / bestReference);
    if (cpSeconds > 0) {
        const double ratio = best.Seconds / cpSeconds;
        std::printf("ratio:               %.2f x cp (%.3f s)   (goal <= 1.5)  %s\n", ratio, cpSeconds,
                    ratio <= 1.5 ? "met" : "MISSED");
    }
    std::printf("longest gap:         %.2f ms     (goal <= 50)   %s\n", worstGap, worstGap <= 50 ? "met" : "MISSED");
    std::printf("peak working set:    %.1f MiB at start, %.1f MiB after 16 MiB, %.1f MiB after %.0f MiB  %s\n",
                peakAtStart, peakAfterSmall, peakAfterLarge, mib,
                (peakAfterLarge - peakAfterSmall < 4) ? "flat, met" : "MISSED");
    std::printf("copies identical:    %s\n", allOk ? "yes" : "NO");
    return allOk ? 0 : 1;
}
