PRAGMA writable_schema = ON
GO
SELECT sqlite_version(), printf('%s', ccode) FROM code; VACUUM
GO
SELECT * FROM pragma_table_info('code')
