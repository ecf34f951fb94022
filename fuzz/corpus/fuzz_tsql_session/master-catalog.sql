--master
SELECT name, dbid, status FROM sysdatabases WHERE name = 'fuzzdb'
GO
UPDATE sysaltfiles SET filename = '/tmp/elsewhere' WHERE dbid = 5
GO
INSERT INTO sysdatabases (name, dbid, filename) VALUES ('x', 9, '/tmp/x')
