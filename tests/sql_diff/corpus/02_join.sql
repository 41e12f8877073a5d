-- Joins: inner, outer, cross, WHERE joins, three tables.
SELECT t1.id, t2.id FROM t1, t2 WHERE t1.id = t2.t1_id;
SELECT t1.id, t2.id FROM t1 JOIN t2 ON t1.id = t2.t1_id;
SELECT t1.id, t2.id FROM t1 INNER JOIN t2 ON t1.id = t2.t1_id;
SELECT t1.id, t2.tag FROM t1 JOIN t2 ON t1.id = t2.t1_id WHERE t2.tag = 'apple';
SELECT t1.id, t2.tag FROM t1 JOIN t2 ON t1.id = t2.t1_id WHERE t1.k = 2;
SELECT t1.name, t2.y FROM t1, t2 WHERE t1.id = t2.t1_id AND t2.y > 10;
SELECT t1.name, t2.y FROM t1, t2 WHERE t2.t1_id = t1.id AND t1.x < 0;
SELECT t1.id, t2.id FROM t1 LEFT JOIN t2 ON t1.id = t2.t1_id;
SELECT t1.id, t2.id FROM t1 LEFT OUTER JOIN t2 ON t1.id = t2.t1_id;
SELECT t1.id, t2.tag FROM t1 LEFT JOIN t2 ON t1.id = t2.t1_id WHERE t2.tag IS NULL;
SELECT t1.id, t2.tag FROM t1 LEFT JOIN t2 ON t1.id = t2.t1_id WHERE t2.tag = 'fig';
SELECT t1.id, t2.id FROM t1 LEFT JOIN t2 ON t1.id = t2.t1_id WHERE t1.id > 30;
SELECT t2.id, t1.id FROM t2 LEFT JOIN t1 ON t2.t1_id = t1.id;
SELECT t1.id, t2.id FROM t1 RIGHT JOIN t2 ON t1.id = t2.t1_id;
SELECT t1.id, t2.id FROM t1 RIGHT OUTER JOIN t2 ON t1.id = t2.t1_id WHERE t2.id < 20;
SELECT t1.id, t2.id FROM t1 FULL OUTER JOIN t2 ON t1.id = t2.t1_id;
SELECT t1.id, t2.id FROM t1 FULL JOIN t2 ON t1.id = t2.t1_id WHERE t1.id IS NULL OR t2.id IS NULL;
SELECT t1.id, t3.label FROM t1 JOIN t3 ON t1.k = t3.k;
SELECT t1.id, t3.label FROM t1 LEFT JOIN t3 ON t1.k = t3.k;
SELECT t1.id, t3.label FROM t1, t3 WHERE t1.k = t3.k AND t3.label LIKE '%a%';
SELECT a.k, b.k FROM t3 a, t3 b WHERE a.k < 2 AND b.k < 2;
SELECT a.k, b.k FROM t3 a CROSS JOIN t3 b WHERE a.k = 1;
SELECT a.id, b.id FROM t1 a JOIN t1 b ON a.k = b.k WHERE a.id < 4;
SELECT a.id, b.id FROM t1 a, t1 b WHERE a.id = b.k;
SELECT t1.id, t2.id, t3.label FROM t1, t2, t3 WHERE t1.id = t2.t1_id AND t1.k = t3.k;
SELECT t1.id, t2.id, t3.label FROM t1 JOIN t2 ON t1.id = t2.t1_id JOIN t3 ON t1.k = t3.k;
SELECT t1.id, t2.id, t3.label FROM t1 JOIN t2 ON t1.id = t2.t1_id LEFT JOIN t3 ON t1.k = t3.k;
SELECT t1.id, t2.id FROM t1 JOIN t2 ON t1.id = t2.t1_id AND t2.y > 5;
SELECT t1.id, t2.id FROM t1 JOIN t2 ON t1.k = t2.t1_id;
SELECT t1.id, t2.id FROM t1 JOIN t2 ON t1.id < t2.t1_id WHERE t1.id > 38 AND t2.id < 5;
SELECT t1.id, t2.id FROM t1 LEFT JOIN t2 ON t1.id = t2.t1_id AND t2.tag = 'apple';
SELECT t1.name, t2.tag FROM t1, t2 WHERE t1.name = t2.tag;
SELECT t1.id, t2.y, t1.x + t2.y AS s FROM t1 JOIN t2 ON t1.id = t2.t1_id;
SELECT DISTINCT t1.k FROM t1 JOIN t2 ON t1.id = t2.t1_id;
-- ordered
SELECT t1.id, t2.id FROM t1 JOIN t2 ON t1.id = t2.t1_id ORDER BY t1.id, t2.id;
-- ordered
SELECT t1.id AS a, t2.id AS b FROM t1 LEFT JOIN t2 ON t1.id = t2.t1_id ORDER BY a DESC, b;
SELECT * FROM t3, t3 x WHERE t3.k = x.k;
-- A table twice, once unaliased: its own name is the unaliased instance.
SELECT t1.id, x.id FROM t1 JOIN t1 x ON x.id = t1.k;
SELECT t1.id, x.id FROM t1 x JOIN t1 ON t1.id = x.k;
SELECT t1.id, t2.id, x.k FROM t1 JOIN t2 ON t1.id = t2.t1_id JOIN t1 x ON x.id = t2.id;
SELECT t1.name, x.name FROM t1, t1 x WHERE t1.k = x.id AND t1.id < 10;
-- A WHERE condition between two tables a FROM join already holds.
SELECT t1.id, t2.id FROM t1 LEFT JOIN t2 ON t1.id = t2.t1_id WHERE t1.name = t2.tag;
SELECT t1.id, t2.id FROM t1 JOIN t2 ON t1.id = t2.t1_id WHERE t1.x < t2.y;
SELECT t1.id, t2.id FROM t1 LEFT JOIN t2 ON t1.id = t2.t1_id WHERE t1.k > t2.y OR t2.id IS NULL;
SELECT t1.id, t2.id, t3.k FROM t1 JOIN t2 ON t1.id = t2.t1_id JOIN t3 ON t3.k = t1.k WHERE t2.tag = t3.label;
SELECT a.id, b.id FROM t1 a JOIN t1 b ON a.k = b.k WHERE a.id < b.id AND a.id < 6;
SELECT t1.id, t2.id, t3.k FROM t1 JOIN t2 ON t1.id = t2.t1_id, t3 WHERE t3.k = t1.k AND t3.k = t2.id;
-- A WHERE comparison spanning three tables.
SELECT t1.id, t2.id, t3.k FROM t1, t2, t3 WHERE t1.k + t3.k = t2.t1_id AND t1.id < 6 AND t2.id < 20;
SELECT t1.id, t3.k FROM t1 JOIN t3 ON t1.k = t3.k, t2 WHERE t1.id + t3.k = t2.t1_id AND t2.y > 20;
-- String functions of one table's columns next to conditions on another table.
SELECT t1.id, t2.id FROM t1, t2 WHERE UPPER(t1.name) = 'KIWI' AND t2.id < 4;
SELECT t1.id, t2.id FROM t1, t2 WHERE t2.id < 4 AND UPPER(name) = 'KIWI';
SELECT t1.id, t2.id FROM t1 JOIN t2 ON t1.id = t2.t1_id WHERE LOWER(t2.tag) = 'apple' AND t1.k > 2;
SELECT t1.id, t3.k FROM t1, t3 WHERE UPPER(t1.name) = UPPER(t3.label);
SELECT t1.id, t3.k FROM t1 LEFT JOIN t3 ON t1.k = t3.k WHERE TRIM(t3.label) = 'fig' OR t1.id < 3;
SELECT t1.id, t3.k FROM t1 JOIN t3 ON LOWER(t1.name) = t3.label WHERE t3.k > 2;
-- sqlite: SELECT t1.id, t2.id FROM t1, t2 WHERE t2.id < 5 AND substr(t1.name, 1, 2) = 'ki'
SELECT t1.id, t2.id FROM t1, t2 WHERE t2.id < 5 AND SUBSTRING(t1.name FROM 1 FOR 2) = 'ki';
-- USING and NATURAL: a bare name of the shared column is the copy that holds the joined value
-- (t3.k 8 and 9 and t2.id above 40 have no partner).
SELECT k, label, name FROM t3 LEFT JOIN t1 USING (k);
SELECT id, tag, name FROM t2 LEFT JOIN t1 USING (id) WHERE id > 35;
SELECT k, id, label FROM t1 RIGHT JOIN t3 USING (k);
SELECT k, label FROM t3 NATURAL LEFT JOIN t1 WHERE k > 6 OR k IS NULL;
SELECT k, COUNT(*) FROM t3 LEFT JOIN t1 USING (k) GROUP BY k;
SELECT id, k, label FROM t1 JOIN t3 USING (k) WHERE k < 3;
SELECT t2.id, k, label FROM t3 LEFT JOIN t1 USING (k) LEFT JOIN t2 ON t2.t1_id = t1.id WHERE k >= 7;
