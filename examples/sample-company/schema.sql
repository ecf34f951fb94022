-- 样例账套：北京宏远商贸有限公司 (a small trading company), the package's own tables.
-- SQLite dialect; money and bit columns keep the package's type names.

CREATE TABLE Account (
  fchrAccountID     varchar(36)  NOT NULL PRIMARY KEY,
  fchrAccount       varchar(18)  NOT NULL,
  fchrAccountName   varchar(60)  NOT NULL,
  fbitDirection     bit          NOT NULL DEFAULT 1,   -- 1: debit minus credit
  fbitNoUsed        bit          NOT NULL DEFAULT 0,
  ftinGrade         tinyint      NOT NULL,
  fbitEnd           bit          NOT NULL DEFAULT 1,   -- a leaf account
  fchrAccountType   varchar(10)  NULL,
  fbitCash          bit          NOT NULL DEFAULT 0,
  fbitBank          bit          NOT NULL DEFAULT 0,
  fchrMeasureUnit   varchar(10)  NULL,
  fchrCurrencyCode  varchar(8)   NULL
);
CREATE UNIQUE INDEX IX_Account_fchrAccount ON Account (fchrAccount);

CREATE TABLE Sys_Role (
  fchrRoleID        varchar(20)  NOT NULL PRIMARY KEY,
  fchrRoleName      varchar(40)  NOT NULL,
  fchrDescription   varchar(100) NULL
);

CREATE TABLE OperatorRole (
  fchrOperatorID    varchar(20)  NOT NULL,
  fchrRoleID        varchar(20)  NOT NULL,
  fchrOperatorName  varchar(40)  NULL,
  PRIMARY KEY (fchrOperatorID, fchrRoleID)
);
CREATE INDEX IX_OperatorRole_fchrRoleID ON OperatorRole (fchrRoleID);

CREATE TABLE Code (
  fchrCodeID        varchar(20)  NOT NULL PRIMARY KEY,
  fchrCodeName      varchar(20)  NOT NULL,
  fchrCodeType      varchar(20)  NOT NULL,
  fintOrder         int          NOT NULL DEFAULT 0,
  fchrRemark        varchar(60)  NULL
);

CREATE TABLE Voucher (
  fchrVoucherID     varchar(36)  NOT NULL PRIMARY KEY,
  fintYear          int          NOT NULL,
  ftinPeriod        tinyint      NOT NULL,
  fdtmDate          datetime     NOT NULL,
  fchrVoucherTypeID varchar(20)  NULL,
  fintNumber        int          NOT NULL,
  fintVoucherNO     int          NOT NULL,
  fintAttachment    int          NOT NULL DEFAULT 0,
  fchrOperatorID    varchar(20)  NULL,   -- preparer
  fchrCheckerID     varchar(20)  NULL,
  fchrRegisterID    varchar(20)  NULL,   -- poster
  fbitStyle         bit          NOT NULL DEFAULT 0,
  fbitNoUsed        bit          NOT NULL DEFAULT 0,   -- voided
  flotTotal         money        NOT NULL DEFAULT 0,
  fdtmMakeDate      datetime     NULL
);
CREATE INDEX IX_Voucher_Period ON Voucher (fintYear, ftinPeriod, fchrVoucherTypeID, fintNumber);
CREATE INDEX IX_Voucher_fchrVoucherTypeID ON Voucher (fchrVoucherTypeID);

CREATE TABLE VoucherDetail (
  fchrVoucherDetailID varchar(40) NOT NULL PRIMARY KEY,
  fchrVoucherID     varchar(36)  NOT NULL,
  fintOrder         int          NOT NULL,
  fchrAccountID     varchar(36)  NOT NULL,
  ftinCode          tinyint      NOT NULL DEFAULT 0,
  fchrRemark        varchar(120) NULL,
  fbitDirection     bit          NOT NULL,             -- 1 debit, 0 credit
  flotAmount        money        NOT NULL DEFAULT 0,
  fchrForeignCode   varchar(8)   NULL,
  flotForeignAmount money        NOT NULL DEFAULT 0,
  flotRate          float        NOT NULL DEFAULT 1,
  fdtmPaymentDate   datetime     NULL,
  flotBalance       money        NOT NULL DEFAULT 0,   -- the amount of an opening-balance line
  fchrOptNo         varchar(30)  NULL,
  fchrDeptID        varchar(20)  NULL,
  fchrPersonID      varchar(20)  NULL
);
CREATE INDEX IX_VoucherDetail_fchrVoucherID ON VoucherDetail (fchrVoucherID, fintOrder);
CREATE INDEX IX_VoucherDetail_fchrAccountID ON VoucherDetail (fchrAccountID);
CREATE INDEX IX_VoucherDetail_fchrRemark ON VoucherDetail (fchrRemark);
