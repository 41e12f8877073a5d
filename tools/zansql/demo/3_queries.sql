-- Customers in Oslo, by name.
SELECT name, joined FROM customers WHERE city = 'Oslo' ORDER BY name;
-- Orders with their customer (an inner join).
SELECT o.id, c.name, o.ordered, o.status FROM orders o JOIN customers c ON o.customer_id = c.id
  WHERE o.status = 'shipped' ORDER BY o.id;
-- Every customer with their orders, also those without any (a left join).
SELECT c.name, o.id FROM customers c LEFT JOIN orders o ON c.id = o.customer_id
  WHERE c.id > 8 ORDER BY c.name;
-- Lines with product names and line totals (three tables).
SELECT l.order_id, p.name, l.qty, l.qty * p.price AS total FROM order_lines l, products p
  WHERE l.product_id = p.id AND l.order_id <= 3 ORDER BY l.order_id, p.name;
-- Orders and quantity per status.
SELECT o.status, COUNT(*) AS orders FROM orders o GROUP BY o.status ORDER BY o.status;
-- Units sold per product category, the best sellers only.
SELECT p.category, SUM(l.qty) AS units, COUNT(DISTINCT l.order_id) AS orders
  FROM order_lines l, products p WHERE l.product_id = p.id GROUP BY p.category
  HAVING SUM(l.qty) > 20 ORDER BY units DESC;
-- Price statistics over all products.
SELECT COUNT(*) AS products, MIN(price) AS cheapest, MAX(price) AS dearest, AVG(price) AS mean
  FROM products;
-- Customers who ordered Cheese (IN with a subquery).
SELECT name FROM customers WHERE id IN
  (SELECT o.customer_id FROM orders o, order_lines l WHERE o.id = l.order_id AND l.product_id = 6)
  ORDER BY name;
-- Customers without any order (a correlated NOT EXISTS).
SELECT c.name FROM customers c WHERE NOT EXISTS
  (SELECT o.id FROM orders o WHERE o.customer_id = c.id) ORDER BY c.name;
-- Products dearer than the average (a scalar subquery).
SELECT name, price FROM products WHERE price > (SELECT AVG(price) FROM products)
  ORDER BY price DESC;
-- Every city and every category in one list (UNION removes duplicates).
SELECT city AS word FROM customers WHERE city IS NOT NULL
  UNION SELECT category FROM products ORDER BY 1;
