-- A table joined with itself, once under its own name and once under an alias:
-- "t1" names the unaliased instance, "t3" the aliased one.
CREATE TABLE t1 (id INTEGER, k INTEGER);
INSERT INTO t1 VALUES (1, 2);
INSERT INTO t1 VALUES (2, 3);
INSERT INTO t1 VALUES (3, NULL);
SELECT t1.id, t3.id FROM t1 JOIN t1 t3 ON t3.id = t1.k ORDER BY 1;
