-- One table: projections, filters, ORDER BY.
SELECT id, k, name, x, dt FROM t1;
SELECT * FROM t2;
SELECT * FROM t3;
SELECT id FROM t1 WHERE k = 3;
SELECT id, name FROM t1 WHERE k <> 3;
SELECT id FROM t1 WHERE k > 4;
SELECT id FROM t1 WHERE k >= 4 AND x < 0;
SELECT id FROM t1 WHERE k < 2 OR x > 100;
SELECT id FROM t1 WHERE NOT (k = 1);
SELECT id FROM t1 WHERE k IS NULL;
SELECT id FROM t1 WHERE name IS NOT NULL AND k IS NULL;
SELECT id FROM t1 WHERE k BETWEEN 2 AND 5;
SELECT id FROM t1 WHERE k NOT BETWEEN 2 AND 5;
SELECT id FROM t1 WHERE k IN (1, 3, 5);
SELECT id FROM t1 WHERE k NOT IN (1, 3, 5);
SELECT id FROM t1 WHERE name IN ('apple', 'fig', 'kiwi');
SELECT id FROM t1 WHERE name = 'apple';
SELECT id FROM t1 WHERE name = 'Apple';
SELECT id FROM t1 WHERE name > 'grape';
SELECT id FROM t1 WHERE name < 'B';
SELECT id FROM t1 WHERE name LIKE 'a%';
SELECT id FROM t1 WHERE name LIKE 'A%';
SELECT id FROM t1 WHERE name LIKE '%an%';
SELECT id FROM t1 WHERE name LIKE '_i%';
SELECT id FROM t1 WHERE name NOT LIKE '%e';
SELECT id FROM t1 WHERE name LIKE '50\%' ESCAPE '\';
SELECT id FROM t1 WHERE name LIKE 'a\_b' ESCAPE '\';
SELECT id FROM t1 WHERE dt > '2022-06-30';
SELECT id FROM t1 WHERE dt BETWEEN '2021-01-01' AND '2021-12-31';
SELECT id FROM t1 WHERE dt IS NULL OR x IS NULL;
SELECT id FROM t1 WHERE x > 50.5;
SELECT id FROM t1 WHERE x = 0;
SELECT id FROM t1 WHERE x * 2 > k;
SELECT id FROM t1 WHERE k + 1 = 4;
SELECT id FROM t1 WHERE k - 1 = 4;
SELECT id FROM t1 WHERE id = 7;
SELECT id FROM t1 WHERE id > 35;
SELECT id FROM t1 WHERE id < 5 AND id > 2;
SELECT id FROM t1 WHERE (k = 1 OR k = 2) AND name IS NOT NULL;
SELECT id FROM t1 WHERE NOT (k = 1 OR x > 0);
SELECT id FROM t1 WHERE NOT (k IS NULL);
SELECT id FROM t1 WHERE NOT (k > 3 AND x > 0);
SELECT id, k + 1 AS k1 FROM t1;
SELECT id, x * 2 AS dbl, x - 1 AS less FROM t1;
SELECT id, k * k AS sq FROM t1 WHERE k IS NOT NULL;
SELECT id, name || '!' AS shout FROM t1;
SELECT id, name || ' ' || name AS twice FROM t1 WHERE id < 10;
SELECT id, UPPER(name) AS u FROM t1;
SELECT id, LOWER(name) AS l FROM t1;
SELECT id, TRIM(name) AS t FROM t1;
-- sqlite: SELECT id, substr(name, 2, 3) AS s FROM t1
SELECT id, SUBSTRING(name FROM 2 FOR 3) AS s FROM t1;
-- sqlite: SELECT id, CAST(strftime('%Y', dt) AS INTEGER) AS y FROM t1
SELECT id, EXTRACT(YEAR FROM dt) AS y FROM t1;
-- sqlite: SELECT id, CAST(strftime('%m', dt) AS INTEGER) AS m FROM t1 WHERE id < 20
SELECT id, EXTRACT(MONTH FROM dt) AS m FROM t1 WHERE id < 20;
-- divergence: real-division
SELECT id, k / 2 AS half FROM t1;
-- sqlite: SELECT id, k / 2.0 AS half FROM t1
SELECT id, k / 2 AS half FROM t1;
SELECT id, x / 4 AS q FROM t1;
-- ordered
SELECT id, name FROM t1 ORDER BY id;
-- ordered
SELECT id, name FROM t1 ORDER BY id DESC;
-- ordered
SELECT id, k FROM t1 ORDER BY k, id;
-- ordered
SELECT id, k FROM t1 ORDER BY k DESC, id;
-- ordered
SELECT id, name FROM t1 ORDER BY name, id;
-- ordered
SELECT id, x FROM t1 ORDER BY x DESC, id;
-- ordered
SELECT id, dt FROM t1 ORDER BY dt, id;
-- ordered
SELECT id, k FROM t1 ORDER BY 2, 1;
-- ordered
SELECT id AS ident, k AS kk FROM t1 ORDER BY kk, ident;
-- ordered
SELECT t1.id, t1.k FROM t1 ORDER BY t1.k, t1.id;
SELECT DISTINCT k FROM t1;
SELECT DISTINCT name FROM t1;
SELECT DISTINCT k, name FROM t1 WHERE k < 4;
SELECT DISTINCT tag FROM t2;
-- ordered
SELECT DISTINCT k FROM t1 ORDER BY k;
SELECT t.id FROM t1 t WHERE t.k = 2;
SELECT t.id, t.name FROM t1 AS t WHERE t.x > 0;
SELECT k, 'const' AS c FROM t3;
SELECT id, 42 AS n FROM t1 WHERE id < 4;
SELECT id, NULL AS none_here FROM t1 WHERE id < 4;
SELECT label FROM t3 WHERE k = 3;
SELECT k FROM t3 WHERE label IS NULL;
-- divergence: cast-integer-rounded
SELECT id, x, CAST(x AS INTEGER) AS n FROM t1;
-- ORDER BY an output name that is also another column's source name.
-- ordered
SELECT id AS k, k AS id FROM t1 WHERE id < 12 ORDER BY id DESC, k;
-- ordered
SELECT name AS x, id AS name FROM t1 WHERE id < 8 ORDER BY name;
