SELECT name, filename FROM master..sysaltfiles
GO
SELECT COUNT(*) AS n FROM master.dbo.sysdatabases WHERE name = 'fuzzdb'
GO
UPDATE sysfiles SET name = 'x'
