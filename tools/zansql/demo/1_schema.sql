-- The demo shop: customers, products, orders and their lines.
CREATE TABLE customers (id INTEGER NOT NULL, name VARCHAR(30), city VARCHAR(20), joined DATE,
  PRIMARY KEY (id));
CREATE INDEX ix_customers_city ON customers (city);
CREATE TABLE products (id INTEGER NOT NULL, name VARCHAR(30), category VARCHAR(15), price FLOAT,
  PRIMARY KEY (id));
CREATE TABLE orders (id INTEGER NOT NULL, customer_id INTEGER, ordered DATE, status VARCHAR(10),
  PRIMARY KEY (id));
CREATE INDEX ix_orders_customer ON orders (customer_id);
CREATE TABLE order_lines (order_id INTEGER, product_id INTEGER, qty INTEGER);
CREATE INDEX ix_lines_order ON order_lines (order_id);
