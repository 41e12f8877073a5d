CREATE TABLE emp (id AUTOINC, name VARCHAR(20) NOT NULL, dept INTEGER, salary MONEY, hired DATE, active BOOLEAN, notes BLOB(1, 1), photo BLOB(1, 5), PRIMARY KEY (id))
CREATE TABLE dept (id INTEGER, name VARCHAR(30), budget FLOAT)
CREATE TABLE proj (pid INTEGER, dept INTEGER, title VARCHAR(40), started TIMESTAMP)

## create table
CREATE TABLE t (a INTEGER NOT NULL, b VARCHAR(20), c NUMERIC(10, 2), d BLOB(10, 1), PRIMARY KEY (a))
----
type 6
schema op=1 table=t columns=a primary
add a ftInteger 4 required
add b ftString 20
add c ftFloat 10
add d ftMemo 10

## create temporary
CREATE TABLE TEMPORARY t (a AUTOINC)
----
type 6
schema op=1 table=t temporary
add a ftAutoInc 4

## temporary before table
CREATE TEMPORARY TABLE t (a INTEGER)
----
ERROR Create statment is invalid Line 1, Character 8. Token 'TEMPORARY'. 

## create existing
CREATE TABLE emp (a INTEGER)
----
ERROR Table already exists: emp. 

## create missing parenthesis
CREATE TABLE t a INTEGER
----
ERROR Missing Left Parenthesis Line 1, Character 16. Token 'a'. 

## create bad type
CREATE TABLE t (a WIBBLE)
----
ERROR Unknown Datatype Line 1, Character 19. Token 'WIBBLE'. 

## create column missing
CREATE TABLE t (a INTEGER, , b INTEGER)
----
ERROR Column specification is missing Line 1, Character 28. Token ','. 

## create unterminated
CREATE TABLE t (a INTEGER
----
ERROR Missing Right Parenthesis Line 1, Character 26. Token ''. 

## create index
CREATE UNIQUE DESC INDEX ix ON dept (name, budget)
----
type 6
schema op=3 table=dept index=ix columns=name;budget unique desc

## create index unknown column
CREATE INDEX ix ON dept (name, nope)
----
ERROR Field not found Line 1, Character 32. Token 'nope'. 

## create index no columns
CREATE INDEX ix ON dept ()
----
ERROR No index columns specified. 

## create index missing on
CREATE INDEX ix dept (name)
----
ERROR Missing ON token Line 1, Character 17. Token 'dept'. 

## create view refused
CREATE VIEW v
----
ERROR Create statment is invalid Line 1, Character 8. Token 'VIEW'. 

## alter table
ALTER TABLE dept ADD COLUMN head INTEGER, DROP budget, ALTER name TO title, ALTER COLUMN id TYPE SMALLINT
----
type 6
schema op=2 table=dept
add head ftInteger 4
drop budget ftUnknown 0
alter title from name ftUnknown 0
alter id ftSmallint 2

## alter add existing
ALTER TABLE dept ADD name INTEGER
----
ERROR Field already exists Line 1, Character 22. Token 'name'. 

## alter drop missing
ALTER TABLE dept DROP nope
----
ERROR Field not found Line 1, Character 23. Token 'nope'. 

## alter rename to existing
ALTER TABLE dept ALTER name TO id
----
ERROR Field already exists Line 1, Character 32. Token 'id'. 

## alter bad action
ALTER TABLE dept RENAME name
----
ERROR Invalid token Line 1, Character 18. Token 'RENAME'. 

## alter bad word
ALTER TABLE dept ALTER name AS x
----
ERROR Invalid token Line 1, Character 29. Token 'AS'. 

## alter not table
ALTER INDEX dept
----
ERROR Alter table statment is invalid Line 1, Character 7. Token 'INDEX'. 

## alter unknown table
ALTER TABLE nope DROP a
----
ERROR Table not found: nope. 

## drop table
DROP TABLE TEMPORARY dept
----
type 6
schema op=4 table=dept temporary

## drop index primary
DROP INDEX emp PRIMARY
----
type 6
schema op=5 table=emp primary

## drop index named
DROP INDEX emp ix
----
type 6
schema op=5 table=emp index=ix

## drop other
DROP VIEW v
----
ERROR Drop statment is invalid Line 1, Character 6. Token 'VIEW'. 

## tokens after statement
DROP TABLE dept now
----
ERROR Invalid token Line 1, Character 17. Token 'now'. 
