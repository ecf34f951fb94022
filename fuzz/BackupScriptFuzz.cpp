// velmora-backup's script reader on arbitrary scripts: statements are cut as SQLite's
// shell cuts them and run on a database in memory; a bad script is an error, never a
// crash. Scripts that could run for ever (WITH, recursive or not) or touch files of
// their own (ATTACH, VACUUM INTO) are passed over: they test SQLite, not the reader.

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>

#include "standin/BackupScript.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string script(reinterpret_cast<const char*>(data), size);
    std::string lower = script;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const char* word : {"with", "attach", "vacuum", "randomblob", "zeroblob", "printf", "format", "replace"}) {
        if (lower.find(word) != std::string::npos) return 0;
    }
    static const std::string path = "/tmp/velmora-fuzz-script-" + std::to_string(getpid()) + ".sql";
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(script.data(), 1, script.size(), file);
    std::fclose(file);
    try {
        Velmora::Standin::BuildDatabaseFromScript(path);
    } catch (const std::exception&) {
    }
    std::remove(path.c_str());
    return 0;
}
