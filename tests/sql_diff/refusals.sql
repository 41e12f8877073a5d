-- Statements the engine refuses, with their code and text.
-- error: 9645 Unrecognised SQL statement type
EXPLAIN SELECT id FROM t1;
-- error: 9645 Unrecognised SQL statement type
BEGIN;
-- error: 9645 Invalid token Line 1, Character 31. Token 'LIMIT'
SELECT id FROM t1 WHERE k = 1 LIMIT 5;
-- error: 9645 Table not found - nosuch
SELECT id FROM nosuch;
-- error: 9645 Select clause incorrectly terminated
SELECT *, id FROM t1;
-- error: 9645 No group by clause was specified
SELECT COUNT(*) FROM t1 HAVING COUNT(*) > 1;
-- error: 9645 Output column must be specified in Group By clause
SELECT k, name, COUNT(*) FROM t1 GROUP BY k;
-- error: 9645 Order by column not found (Order By columns must be in result set)
SELECT id FROM t1 ORDER BY name;
-- error: 9645 Order by column number is out of range
SELECT id FROM t1 ORDER BY 3;
-- error: 9645 Union statement column counts do not match
SELECT id, k FROM t1 UNION SELECT k FROM t3;
-- error: 9645 Number of insert columns does not match number of insert values
INSERT INTO t3 VALUES (1);
-- error: 9645 Number of insert columns does not match number of insert values
INSERT INTO t3 (k) VALUES (1, 'a');
-- error: 9645 Unknown Datatype
CREATE TABLE bad (a TEXT);
-- error: 9645 Subqueries are not supported
SELECT (SELECT k FROM t3 WHERE k = 1) FROM t1;
-- error: 9645 Invalid token
SELECT COALESCE(k, 0) FROM t1;
-- error: 9645 Unrecognized tokens beyond end of statement: UNION
SELECT k, COUNT(*) FROM t1 GROUP BY k UNION SELECT k, 1 FROM t3;
-- error: 9645 Field not found
SELECT k, COUNT(*) AS n FROM t1 GROUP BY k HAVING n > 4;
-- error: 9645 Fields specified in having clause must appear in the result set: COUNT(*)
SELECT k, MIN(name) FROM t1 GROUP BY k HAVING COUNT(*) > 2;
-- error: 9645 Fields specified in having clause must appear in the result set: COUNT(DISTINCT k)
SELECT name, COUNT(k) FROM t1 GROUP BY name HAVING COUNT(DISTINCT k) > 2;
-- error: 9645 Expression is empty
SELECT id FROM t1 WHERE;
-- error: 9645 Expression is empty
SELECT k, COUNT(*) FROM t1 GROUP BY k HAVING;
-- error: 9645 Expression is empty
DELETE FROM t3 WHERE;
-- error: 9645 missing column name descriptor
SELECT k FROM t1 GROUP BY;
-- error: 9645 missing column name descriptor
SELECT id FROM t1 ORDER BY;
-- error: 9645 Update statement missing column reference
UPDATE t3 SET WHERE k = 1;
-- error: 9645 Update statement missing column reference
UPDATE t3 SET k = 1, WHERE k = 1;
-- error: 9645 Field already exists
CREATE TABLE dupcols (a INTEGER, b INTEGER, A INTEGER);
-- error: 9645 Scope is invalid
SELECT k, COUNT(*) FROM t1 GROUP BY k HAVING COUNT(*) > 1 AND k > 0;
-- error: 9645 join field not found
SELECT t1.id FROM t1 JOIN t3 ON t1.k = t3.nosuch;
-- error: 9645 Field already exists
ALTER TABLE t3 ADD x INTEGER, ADD X INTEGER;
-- error: 9645 Field already exists
ALTER TABLE t3 ALTER k TO z, ALTER label TO z;
-- error: 9645 Field already exists
ALTER TABLE t3 ADD z INTEGER, ALTER k TO z;
-- error: 9645 Field already exists
CREATE INDEX dupidx ON t3 (k, K);
-- error: 9645 Field already exists
CREATE TABLE dupkey (a INTEGER, PRIMARY KEY (a, a));
-- error: 9645 Field already exists
INSERT INTO t3 (k, k) VALUES (1, 2);
-- error: 9645 Field already exists
UPDATE t3 SET k = 1, k = 2;
-- error: 9645 A column shared by a FULL JOIN's USING or NATURAL must be qualified: k
SELECT k, label FROM t1 FULL JOIN t3 USING (k);
-- error: 9645 A column shared by a FULL JOIN's USING or NATURAL must be qualified: k
SELECT t1.id FROM t1 NATURAL FULL JOIN t3 WHERE k > 1;
-- error: 9645 PRIMARY names the primary index; choose another index name
CREATE INDEX PRIMARY ON t3 (k);
-- error: 9645 PRIMARY names the primary index; choose another index name
CREATE UNIQUE INDEX [primary] ON t3 (label);
-- error: 9645 A SELECT needs a FROM clause naming a table
SELECT 7 / 2 AS x;
-- error: 9645 A SELECT needs a FROM clause naming a table
SELECT id FROM t1 WHERE id IN (SELECT 1);
-- error: 9645 A SELECT needs a FROM clause naming a table
SELECT id FROM;
