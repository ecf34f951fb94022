SELECT CONVERT(varchar(10), dbill_date, 120) AS d, CAST(md AS decimal(18,2)) AS m, LEN(cdigest) AS l, LEFT(ccode, 2) + '-' AS p, DATEADD(day, 1, GETDATE()) AS t, UPPER(ccode) AS u FROM GL_accvouch WHERE dbill_date BETWEEN '2024-01-01' AND '2024-12-31'
GO
SELECT a.ccode, b.ccode_name FROM GL_accvouch a INNER JOIN code b ON a.ccode = b.ccode WHERE b.bend = 1 UNION ALL SELECT ccode, ccode_name FROM code WHERE NOT EXISTS (SELECT 1 FROM v_sums)
