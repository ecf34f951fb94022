#include <algorithm>
#include <string>

#include "platform/Errors.h"
#include "preprocess/DealWithUFO.h"
#include "preprocess/TextUtils.h"

namespace Velmora {

namespace {

constexpr const char* ServerPropertiesStatement =
    "SELECT SERVERPROPERTY('ProductVersion') AS ProductVersion, SERVERPROPERTY('EngineEdition') AS EngineEdition";
constexpr int ExpressEdition = 4;

bool SamePosition(const std::string& text, int position)
{
    try {
        return StrToInt(text) == position;
    } catch (const EVelmoraError&) {
        return false;
    }
}

}  // namespace

// Asked before the header, so that a header the server cannot read is explained
// knowing which server could not read it. A server that cannot answer this cannot
// tell in advance; the restore then says.
void TForm_DealWithUFO::ReadServerFacts()
{
    FRestoreFacts = TRestoreFacts{};
    if (TryOpenQuery(ServerPropertiesStatement) && !FADOQuery->Eof()) {
        FRestoreFacts.Server = TServerVersion::Parse(Trim(ColumnOrNull(*FADOQuery, "ProductVersion").AsString()));
        FRestoreFacts.Express = ColumnOrNull(*FADOQuery, "EngineEdition").AsInteger() == ExpressEdition;
    }
}

// Everything the server can tell before the old UFDATA is touched: a restore that
// cannot succeed is refused here, with the database the user works with still online.
bool TForm_DealWithUFO::ForeseeRestore(int position)
{
    TRestoreFacts& facts = FRestoreFacts;
    for (const TBackupSetHeader& set : FBackupSets) {
        if (position == 0 || SamePosition(set.Position, position)) {
            facts.Set = set;
            break;
        }
    }
    const std::string tempFile = QuoteSqlText(FTempFile);

    if (!RestoresSetFrom(facts.Server, facts.Set.Version)) return RefuseRestore(ServerError::IncompatibleVersion);
    if (facts.Set.Compressed && facts.Server.Known() && facts.Server.Major < 10) {
        return RefuseRestore(ServerError::MediaIncorrectlyFormed);
    }
    // LABELONLY answers for a stripe, where RESTORE refuses it.
    if (TryOpenQuery("RESTORE LABELONLY From Disk='" + tempFile + "'") && !FADOQuery->Eof()) {
        const std::int64_t families = ColumnOrNull(*FADOQuery, "FamilyCount").AsInteger();
        if (families > 1) {
            facts.Families = static_cast<int>(families);
            return RefuseRestore(ServerError::MediaFamilyMissing);
        }
    }

    // The file list of the set being restored, so that a file holding sets of
    // different databases restores each with its own logical names.
    std::string fileListStatement = "Restore FileListOnly From Disk='" + tempFile + "'";
    if (position != 0) fileListStatement += " WITH FILE=" + std::to_string(position);
    if (!OpenQuery(fileListStatement)) return false;
    FADOQuery->First();
    while (!FADOQuery->Eof()) {
        TBackupFile file{FADOQuery->FieldByName("Logicalname").AsString(), Trim(FADOQuery->FieldByName("Type").AsString()),
                         ColumnOrNull(*FADOQuery, "Size").AsInteger()};
        // A database encrypted on its server names its certificate in every file.
        facts.Set.Encrypted = facts.Set.Encrypted || !Trim(ColumnOrNull(*FADOQuery, "TDEThumbprint").AsString()).empty();
        facts.Needed += file.Size;
        if (file.Type != "L") facts.DataSize += file.Size;
        facts.Files.push_back(file);
        FADOQuery->Next();
    }
    FADOQuery->Close();

    if (facts.Set.Encrypted) return RefuseRestore(ServerError::CertificateNotFound);
    if (facts.Express && facts.DataSize > ExpressSizeCap(facts.Server)) {
        return RefuseRestore(ServerError::EditionSizeLimit);
    }
    // The restore replaces what lies under its targets' names (the old UFDATA's
    // files, dropped first), so their room counts as free, as the server counts it.
    for (const std::string& target : RestoreTargets(facts.Files)) {
        const std::int64_t replaced = FPlatform.Files.FileSize(target);
        if (replaced > 0) facts.Needed -= std::min(replaced, facts.Needed);
    }
    facts.Free = FPlatform.Files.FreeSpace(FWorkDir);
    if (facts.Free >= 0 && facts.Needed > facts.Free) return RefuseRestore(ServerError::InsufficientSpace);
    return true;
}

bool TForm_DealWithUFO::RefuseRestore(int number)
{
    ShowMessage(ExplainServerFailure(number), DealWithUFOText::CaptionWarning, MsgBox::IconWarning);
    return false;
}

}  // namespace Velmora
