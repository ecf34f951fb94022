SELECT ccode, ISNULL(SUM(md),0) AS md, SUM(mc) AS mc FROM GL_accvouch WHERE ccode LIKE '100[12]%' AND iperiod <= 12 GROUP BY ccode ORDER BY ccode
