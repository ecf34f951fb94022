CREATE TABLE Bal (	fchrAccount varchar(18) NOT NULL,Bal money NOT NULL,FX int NOT NULL,Kmfx bit NOT NULL) ON [PRIMARY]
GO
INSERT INTO Bal VALUES ('1001', 922337203685477.5807, 1, 1)
GO
insert into [dbo].[Bal] ([fchrAccount],[Bal],[FX],[Kmfx]) values (N'1002', -2.5, 1.9, 0)
GO
SELECT TOP 1 fchrAccount, Bal FROM Bal WHERE fchrAccount = 'ABC ' COLLATE Chinese_PRC_CI_AS
