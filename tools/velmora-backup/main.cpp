// velmora-backup: makes backup media for the stand-in server from an SQL script,
// and lists what media holds.

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "standin/BackupScript.h"

namespace {

using namespace Velmora::Standin;

constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

const char* const Usage =
    "usage:\n"
    "  velmora-backup create MEDIA --database NAME (--script FILE.sql | --from-sqlite DB)\n"
    "                        [--append] [--name TEXT] [--type full|differential|log]\n"
    "                        [--file LOGICAL:TYPE:PHYSICAL[:SIZE]]...\n"
    "                        [--server-version X.YY.ZZZZ] [--compressed] [--families N]\n"
    "                        [--password TEXT] [--encrypted THUMBPRINT]\n"
    "  velmora-backup list MEDIA\n"
    "  velmora-backup --help\n"
    "\n"
    "create  runs FILE.sql (SQLite's dialect) on a fresh database and writes it to MEDIA\n"
    "        as a backup set of database NAME. Without --append the media is made anew;\n"
    "        with it the set is added after the sets already there.\n"
    "        --from-sqlite DB  takes the SQLite database DB as it is instead of a script\n"
    "        --name TEXT   the backup name (default: \"NAME backup\")\n"
    "        --type KIND   what the set is to the server: full (default), differential\n"
    "                      or log; the server lists every kind and restores full sets\n"
    "        --file ...    the set's file list, in order, replacing the default\n"
    "                      NAME_Data (D) and NAME_Log (L) in the server's data folder;\n"
    "                      TYPE is D (data) or L (log); give it once per file.\n"
    "                      SIZE, in bytes, is the file's size as the database had\n"
    "                      allocated it (FILELISTONLY's Size; default: the real size)\n"
    "        --server-version X.YY.ZZZZ  the SQL Server release that wrote the set\n"
    "                      (default 8.00.2039); a server refuses sets it cannot read\n"
    "        --compressed  marks the set as compressed, which servers before 2008 cannot read\n"
    "        --families N  the set is one of N stripes of a media set (default 1);\n"
    "                      a restore from this media alone is refused\n"
    "        --password TEXT  a media password: every RESTORE must give MEDIAPASSWORD\n"
    "        --encrypted THUMBPRINT  the database is encrypted with the certificate of this\n"
    "                      thumbprint (hex digits), which the stand-in never has\n"
    "list    prints the backup sets of MEDIA, one line each.\n"
    "\n"
    "Existing media is only replaced once the new media is complete.\n";

int Fail(const std::string& message, int code = ExitFailure)
{
    std::cerr << "velmora-backup: " << message << "\n";
    if (code == ExitUsage) std::cerr << "Try 'velmora-backup --help'.\n";
    return code;
}

int BackupTypeByName(const std::string& kind)
{
    if (kind == "full") return BackupTypeFull;
    if (kind == "differential") return BackupTypeDifferential;
    if (kind == "log") return BackupTypeLog;
    throw EBackupToolError("--type is full, differential or log, not '" + kind + "'");
}

int Create(const std::vector<std::string>& args)
{
    TCreateBackupOptions options;
    for (std::size_t k = 0; k < args.size(); ++k) {
        const std::string& arg = args[k];
        auto value = [&](std::string& into) {
            if (k + 1 >= args.size()) throw EBackupToolError(arg + " needs a value");
            into = args[++k];
        };
        if (arg == "--database") {
            value(options.Database);
        } else if (arg == "--script") {
            value(options.Script);
        } else if (arg == "--from-sqlite") {
            value(options.FromSqlite);
        } else if (arg == "--name") {
            value(options.BackupName);
        } else if (arg == "--type") {
            std::string kind;
            value(kind);
            options.BackupType = BackupTypeByName(kind);
        } else if (arg == "--server-version") {
            std::string text;
            value(text);
            const auto version = ParseServerVersion(text);
            if (!version) throw EBackupToolError("--server-version is like 8.00.2039, not '" + text + "'");
            options.ServerVersion = *version;
        } else if (arg == "--compressed") {
            options.Compressed = true;
        } else if (arg == "--families") {
            std::string text;
            value(text);
            if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) {
                throw EBackupToolError("--families is a number, not '" + text + "'");
            }
            options.FamilyCount = std::stoi(text);
        } else if (arg == "--password") {
            value(options.MediaPassword);
            if (options.MediaPassword.empty()) throw EBackupToolError("--password needs a password");
        } else if (arg == "--encrypted") {
            std::string text;
            value(text);
            if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0) text.erase(0, 2);
            if (text.empty() || text.size() > 64 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                throw EBackupToolError("--encrypted is a thumbprint in hex digits, not '" + text + "'");
            }
            for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
            options.TdeThumbprint = "0x" + text;
        } else if (arg == "--append") {
            options.Append = true;
        } else if (arg == "--file") {
            std::string text;
            value(text);
            options.Files.push_back(ParseFileOption(text));
        } else if (arg.rfind("--", 0) == 0) {
            throw EBackupToolError("unknown option '" + arg + "'");
        } else if (options.Media.empty()) {
            options.Media = arg;
        } else {
            throw EBackupToolError("unexpected argument '" + arg + "'");
        }
    }
    if (options.Media.empty()) throw EBackupToolError("MEDIA is required");
    CreateBackupSet(options);
    return 0;
}

int List(const std::vector<std::string>& args)
{
    if (args.size() != 1) return Fail("list takes exactly one MEDIA", ExitUsage);
    try {
        std::cout << FormatBackupList(ReadBackupMedia(args[0]));
    } catch (const EBackupMediaError& error) {
        return Fail(error.what());
    }
    // A list that did not arrive is no success.
    errno = 0;
    if (!std::cout.flush()) {
        return Fail(std::string("cannot write the list: ") +
                    (errno != 0 ? std::strerror(errno) : "the output was refused"));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> all(argv + 1, argv + argc);
    if (all.empty()) return Fail("no command given", ExitUsage);
    if (all[0] == "--help" || all[0] == "-h" || all[0] == "help") {
        std::cout << Usage;
        return 0;
    }
    const std::vector<std::string> rest(all.begin() + 1, all.end());
    try {
        if (all[0] == "create") return Create(rest);
        if (all[0] == "list") return List(rest);
        return Fail("unknown command '" + all[0] + "'", ExitUsage);
    } catch (const EBackupToolError& error) {
        return Fail(error.what());
    } catch (const std::exception& error) {
        return Fail(error.what());
    }
}
