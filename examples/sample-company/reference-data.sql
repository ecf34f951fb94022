-- Roles, operators and voucher types of the sample company.

INSERT INTO Sys_Role (fchrRoleID, fchrRoleName, fchrDescription) VALUES
  ('R01', '账套主管', '拥有全部权限'),
  ('R02', '制单', '填制凭证'),
  ('R03', '审核', '审核凭证'),
  ('R04', '记账', '凭证记账'),
  ('R05', '出纳', '出纳签字，无人担任');

-- One role per operator. U009 (临时录入员) has no role at all.
INSERT INTO OperatorRole (fchrOperatorID, fchrRoleID, fchrOperatorName) VALUES
  ('U001', 'R02', '李芳'),
  ('U002', 'R03', '王强'),
  ('U003', 'R04', '赵敏'),
  ('U004', 'R01', '陈立新');

-- The company kept 记 vouchers in its first year and 收/付/转 afterwards. VT-ZERO is
-- a type whose name was saved as the single character 0.
INSERT INTO Code (fchrCodeID, fchrCodeName, fchrCodeType, fintOrder, fchrRemark) VALUES
  ('VT-JI', '记', 'VoucherType', 1, '记账凭证'),
  ('VT-SHOU', '收', 'VoucherType', 2, '收款凭证'),
  ('VT-FU', '付', 'VoucherType', 3, '付款凭证'),
  ('VT-ZHUAN', '转', 'VoucherType', 4, '转账凭证'),
  ('VT-ZERO', '0', 'VoucherType', 9, '导入时名称丢失'),
  ('CUR-RMB', '人民币', 'Currency', 1, NULL);
