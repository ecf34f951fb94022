#include "platform/Errors.h"
#include "preprocess/DealWithUFO.h"

namespace Velmora {

namespace {

// The objects the host reads after the run, in creation order. The texts are sent
// exactly as they stand (blanks, letter case and the tab included): hosts and the
// server's name resolution have always seen them this way.
const char* const LedgerStatements[] = {
    "Create view km as SELECT fchrAccount, fchrAccountID, fchrAccountName,fbitDirection, fbitNoUsed from Account "
    "where fbitnoused=0",

    "CREATE TABLE Bal (\tfchrAccount varchar(18) NOT NULL,Bal money NOT NULL,FX int NOT NULL,Kmfx bit NOT NULL)  "
    "ON [PRIMARY]",

    "insert into bal SELECT fchrAccount,0.00 as Bal,0 as FX,fbitDirection as kmfx  from km",

    "Create View role as SELECT Sys_Role.fchrRoleName, OperatorRole.fchrOperatorID FROM OperatorRole INNER JOIN  "
    "Sys_Role ON OperatorRole.fchrRoleID = Sys_Role.fchrRoleID",

    "create view pm as  SELECT Voucher.*, Code.fchrCodeName,zd_role.fchrRoleName AS zd, fh_role.fchrRoleName AS FH, "
    "Jz_role.fchrRoleName AS jz FROM Voucher  left JOIN role as zd_role ON Voucher.fchrOperatorID = "
    "zd_role.fchrOperatorID left JOIN  role as fh_role ON Voucher.fchrCheckerID =fh_role.fchrOperatorID left JOIN "
    "role as jz_role ON Voucher.fchrRegisterID = jz_role.fchrOperatorID left JOIN  Code ON "
    "Voucher.fchrVoucherTypeID = Code.fchrCodeID",

    "create view pd as SELECT VoucherDetail.*, km.fchrAccount FROM VoucherDetail INNER JOIN km ON "
    "VoucherDetail.fchrAccountID = km.fchrAccountID",

    "Create View Pz as SELECT PM.fchrCodeName, PM.fintYear, PM.ftinPeriod, PM.fdtmDate, PM.fintNumber, "
    "PM.fintVoucherNO, PM.fbitStyle, PM.zd, PM.fh,  PM.jz, PM.fbitNoUsed, PM.fchrVoucherID, pD.ftinCode, "
    "pD.fchrRemark, pD.fchrAccount, pD.fbitDirection, pD.flotAmount, pD.fchrForeignCode,  pD.flotForeignAmount, "
    "pD.flotRate, pD.fdtmPaymentDate, pD.flotBalance, pD.fchrOptNo, pD.fintOrder FROM pD INNER JOIN  PM ON "
    "pD.fchrVoucherID = PM.fchrVoucherID",

    "Create View PzAvalid as select * from pz WHERE (ISNULL(fchrCodeName,'0')<>'0')",

    "Create view BalFirst as SELECT flotBalance,fchrAccount,fbitDirection  from pz where fchrRemark='期初余额'",
};

}  // namespace

bool TForm_DealWithUFO::PrepareLedger()
{
    FTargetConnection->SetConnectionString(ConnectionStrings::Ufdata);
    try {
        FTargetConnection->Open();
    } catch (const EProviderError& error) {
        ShowProviderFailure("不能连接到指定的数据库", error);
        return false;
    }

    // A statement that fails has told the user which one; the others still give the
    // host what they can (an older package may lack one of the tables).
    for (const char* statement : LedgerStatements) ExecCommand(statement);

    try {
        ComputeBalances();
    } catch (...) {
        // The run ends here; the database is not left held open behind it.
        try {
            FTargetConnection->Close();
        } catch (...) {
        }
        throw;
    }
    FTargetConnection->Close();
    return true;
}

}  // namespace Velmora
