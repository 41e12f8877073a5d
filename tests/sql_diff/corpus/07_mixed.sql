-- Mixed statements: expressions in filters, NULL logic, nested subqueries, sorted and grouped joins.
SELECT id FROM t1 WHERE UPPER(name) = 'APPLE';
SELECT id FROM t1 WHERE LOWER(name) LIKE 'a%';
SELECT id FROM t1 WHERE name || 'x' = 'figx';
SELECT id FROM t1 WHERE x + k > 10;
SELECT id FROM t1 WHERE x * x > 10000;
SELECT id FROM t1 WHERE k * 2 BETWEEN 4 AND 8;
SELECT id FROM t1 WHERE name BETWEEN 'b' AND 'g';
SELECT id FROM t1 WHERE dt < '2021-01-01' AND k IS NOT NULL;
SELECT id FROM t1 WHERE k IN (1, 2, NULL);
SELECT id FROM t1 WHERE k NOT IN (1, 2, NULL);
SELECT id FROM t1 WHERE NOT (name LIKE 'a%');
SELECT id FROM t1 WHERE NOT (x > 0) OR x IS NULL;
SELECT id FROM t1 WHERE (k > 2 OR name = 'fig') AND (x < 50 OR dt > '2022-01-01');
SELECT id FROM t1 WHERE k = 1 OR k = 3 OR k = 5 OR k IS NULL;
SELECT id FROM t1 WHERE id NOT IN (SELECT t1_id FROM t2 WHERE t1_id IS NOT NULL) AND k > 3;
SELECT id FROM t1 WHERE k IN (SELECT k FROM t3 WHERE k IN (SELECT k FROM t1 WHERE x > 100));
SELECT id FROM t1 WHERE EXISTS (SELECT t2.id FROM t2 WHERE t2.t1_id = t1.id AND t2.tag = t1.name);
SELECT id FROM t1 WHERE x < (SELECT MIN(y) FROM t2);
SELECT id FROM t1 WHERE k = (SELECT COUNT(*) FROM t3 WHERE k < 3);
SELECT t2.id FROM t2 WHERE t2.y > (SELECT AVG(x) FROM t1 WHERE t1.k = 2);
-- divergence: aggregate-empty-zero
SELECT MAX(y) FROM t2 WHERE t1_id > 1000;
-- divergence: aggregate-empty-zero
SELECT SUM(x), MIN(name) FROM t1 WHERE id > 1000;
-- divergence: avg-integer-rounded
SELECT k, AVG(id) FROM t1 GROUP BY k;
-- divergence: real-division
SELECT id, id / 3 AS third FROM t1 WHERE id < 10;
SELECT id, x / 2 + k AS mixed FROM t1 WHERE id < 15;
SELECT id, (k + 1) * (k - 1) AS p FROM t1 WHERE k IS NOT NULL;
SELECT id, x - x AS zero FROM t1;
SELECT DISTINCT UPPER(tag) AS u FROM t2;
SELECT DISTINCT t1.k, t3.label FROM t1 JOIN t3 ON t1.k = t3.k;
-- ordered
SELECT DISTINCT name FROM t1 WHERE name IS NOT NULL ORDER BY name DESC;
-- ordered
SELECT t1.id, t2.id, t2.y FROM t1 JOIN t2 ON t1.id = t2.t1_id WHERE t2.y > 15 ORDER BY t2.y DESC, t1.id, t2.id;
-- ordered
SELECT k, COUNT(*) AS n FROM t1 WHERE k IS NOT NULL GROUP BY k ORDER BY k DESC;
SELECT t3.k, COUNT(t1.id) FROM t3 LEFT JOIN t1 ON t3.k = t1.k GROUP BY t3.k;
SELECT t2.tag, SUM(t1.x) AS s FROM t1 JOIN t2 ON t1.id = t2.t1_id GROUP BY t2.tag;
SELECT t2.tag, MIN(t1.name) AS n, COUNT(*) FROM t1, t2 WHERE t1.id = t2.t1_id GROUP BY t2.tag HAVING COUNT(*) > 2;
SELECT k, MAX(name) FROM t1 WHERE name LIKE '%a%' GROUP BY k;
SELECT COUNT(*) FROM t1 a JOIN t1 b ON a.k = b.k;
SELECT COUNT(DISTINCT t2.tag) FROM t1 JOIN t2 ON t1.id = t2.t1_id;
SELECT name FROM t1 WHERE k = 1 UNION SELECT name FROM t1 WHERE k = 2;
SELECT name FROM t1 WHERE k = 1 UNION ALL SELECT name FROM t1 WHERE k = 1;
SELECT id, name FROM t1 WHERE id < 3 UNION SELECT k, label FROM t3 WHERE k < 3;
SELECT x FROM t1 WHERE x > 50 UNION SELECT y FROM t2 WHERE y > 20;
-- ordered
SELECT tag FROM t2 WHERE tag IS NOT NULL UNION SELECT label FROM t3 WHERE label IS NOT NULL ORDER BY 1 DESC;
INSERT INTO t2 (id, t1_id, tag, y) VALUES (500, 1, 'new', 1.25);
INSERT INTO t2 SELECT id + 1000, id, name, x FROM t1 WHERE k = 3;
UPDATE t2 SET y = y + 1, tag = UPPER(tag) WHERE t1_id IN (SELECT id FROM t1 WHERE k = 2);
UPDATE t2 SET y = NULL WHERE y < 5;
UPDATE t3 SET label = label || '!' WHERE label IS NOT NULL;
DELETE FROM t2 WHERE tag LIKE 'a%' OR y IS NULL;
DELETE FROM t2 WHERE EXISTS (SELECT t1.id FROM t1 WHERE t1.id = t2.t1_id AND t1.k = 0);
DELETE FROM t1 WHERE id BETWEEN 10 AND 20;
