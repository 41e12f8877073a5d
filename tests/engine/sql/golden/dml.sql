CREATE TABLE emp (id AUTOINC, name VARCHAR(20) NOT NULL, dept INTEGER, salary MONEY, hired DATE, active BOOLEAN, notes BLOB(1, 1), photo BLOB(1, 5), PRIMARY KEY (id))
CREATE TABLE dept (id INTEGER, name VARCHAR(30), budget FLOAT)
CREATE TABLE proj (pid INTEGER, dept INTEGER, title VARCHAR(40), started TIMESTAMP)

## insert values
INSERT INTO dept VALUES (1, 'Sales', 2.5)
----
type 3
insert dept (id,name,budget)
value 1
value Sales
value 2.5

## insert with columns
INSERT INTO dept (name, id) VALUES ('x', '7')
----
type 3
insert dept (name,id)
value x
value 7

## insert expressions and parameters
INSERT INTO dept (id, name, budget) VALUES (:id + 1, :name, 2 * 3)
----
type 3
insert dept (id,name,budget)
value (ADD :id 1) :Float
value :name :Unknown
value (MUL 2 3) :Float
params id,name

## insert current date stays a node
INSERT INTO emp (hired, name) VALUES (CURRENT_DATE, 'a')
----
type 3
insert emp (hired,name)
value CURRENT_DATE :Date
value a

## insert too few values
INSERT INTO dept VALUES (1, 'x')
----
ERROR Number of insert columns does not match number of insert values. 

## insert too many values
INSERT INTO dept (id) VALUES (1, 2)
----
ERROR Number of insert columns does not match number of insert values. 

## insert empty column list
INSERT INTO dept () VALUES ()
----
ERROR No insert columns were specified. 

## insert unknown column
INSERT INTO dept (nope) VALUES (1)
----
ERROR Field not found : nope. 

## insert missing column
INSERT INTO dept (id, , name) VALUES (1, 'x')
----
ERROR Column specification is missing Line 1, Character 23. Token ','. 

## insert column reference
INSERT INTO dept (id) VALUES (id + 1)
----
ERROR Invalid token Line 1, Character 31. Token 'id'. 

## insert bad number text
INSERT INTO dept (id) VALUES ('abc')
----
ERROR Expression data types do not match Line 1, Character 31. Token 'abc'. 

## insert bad boolean text
INSERT INTO emp (name, active) VALUES ('a', 'maybe')
----
ERROR Expression data types do not match Line 1, Character 45. Token 'maybe'. 

## insert bad date text
INSERT INTO emp (name, hired) VALUES ('a', '2024-02-30')
----
ERROR Value 2024-02-30 was not of the expected format yyyy-mmm-dd Line 1, Character 44. Token '2024-02-30'. 

## insert double into integer
INSERT INTO dept (id) VALUES (1.5)
----
type 3
insert dept (id)
value 1.5

## insert bad number token
INSERT INTO dept (id) VALUES (1.2.3)
----
ERROR Invalid token Line 1, Character 31. Token '1.2.3'. 

## insert missing left parenthesis
INSERT INTO dept (id) VALUES 1
----
ERROR Missing Left Parenthesis Line 1, Character 30. Token '1'. 

## insert missing into
INSERT dept VALUES (1)
----
ERROR Insert statement syntax is incorrect Line 1, Character 1. Token 'INSERT'. 

## insert incorrectly terminated
INSERT INTO dept (id) VALUES (1) x
----
ERROR Insert statement incorrectly terminated Line 1, Character 34. Token 'x'. 

## insert nothing after table
INSERT INTO
----
ERROR Insert statement incorrectly terminated Line 1, Character 12. Token ''. 

## insert select
INSERT INTO dept (id, name) SELECT id, name FROM emp
----
type 3
insert dept (id,name)
  type 2
  from StartTables
  from tbl emp   corr  
  from EndTables
  from StartJoins
  from EndJoins
  from StartTree
  from EndTree
  node 0 raw=id id :AutoInc
  node 0 raw=name name :String
  col id ftInteger 4 src=emp.id
  col name ftString 21 src=emp.name

## insert select type mismatch
INSERT INTO dept (budget) SELECT active FROM emp
----
ERROR Cannot convert type ftFloat -> ftBoolean. 

## insert select count mismatch
INSERT INTO dept (id) SELECT id, name FROM emp
----
ERROR Number of insert columns does not match number of insert values. 

## insert aggregate refused
INSERT INTO dept (id) VALUES (COUNT(*))
----
ERROR Scope is invalid Line 1, Character 31. Token 'COUNT'. 

## insert unknown table
INSERT INTO nope VALUES (1)
----
ERROR Table not found - nope. 

## update
UPDATE dept SET name = 'x', budget = budget * 2 WHERE id = 1
----
type 5
update dept
set name = x
set budget = (MUL budget 2) :Float
  type 2 where-only
  where (EQ id 1) :Boolean

## update qualified column
UPDATE dept SET dept.name = 'y'
----
type 5
update dept
set name = y

## update other qualifier
UPDATE dept SET emp.name = 'y'
----
ERROR Table and/or field not found Line 1, Character 17. Token 'emp'. 

## update missing assignment
UPDATE dept SET name 'y'
----
ERROR Missing assignment (=) token Line 1, Character 22. Token 'y'. 

## update missing column
UPDATE dept SET = 1
----
ERROR Update statement missing column reference Line 1, Character 17. Token '='. 

## update unknown column
UPDATE dept SET nope = 1
----
ERROR Field not found : nope. 

## update subquery in set
UPDATE dept SET budget = (SELECT MAX(salary) FROM emp)
----
type 5
update dept
set budget = (subquery 0) :Unknown
  type 2
  from StartTables
  from tbl emp   corr  
  from EndTables
  from StartJoins
  from EndJoins
  from StartTree
  from EndTree
  node 2 raw=MAX(salary) (AggFunc.4 [salary]) :Currency
  col MAX(salary) ftCurrency 8 agg=4

## update where subquery
UPDATE dept SET budget = 0 WHERE id IN (SELECT dept FROM emp)
----
type 5
update dept
set budget = 0
  type 2 where-only
  where (IN id [(subquery 0)]) :Boolean
    type 2
    from StartTables
    from tbl emp   corr  
    from EndTables
    from StartJoins
    from EndJoins
    from StartTree
    from EndTree
    node 0 raw=dept dept :Integer
    col dept ftInteger 4 src=emp.dept

## update aggregate in set
UPDATE dept SET budget = SUM(budget)
----
ERROR Scope is invalid Line 1, Character 26. Token 'SUM'. 

## update bad constant
UPDATE dept SET id = 'abc'
----
ERROR Expression data types do not match Line 1, Character 22. Token 'abc'. 

## update unknown table
UPDATE nope SET a = 1
----
ERROR Table not found - nope. Table and/or field not found Line 1, Character 8. Token 'nope'. 

## update syntax
UPDATE dept name = 1
----
ERROR Update statement syntax is incorrect Line 1, Character 13. Token 'name'. 

## delete all
DELETE FROM dept
----
type 4
delete dept

## delete where
DELETE FROM dept WHERE id = :id
----
type 4
delete dept
  type 2 where-only
  where (EQ id :id) :Boolean
params id

## delete where correlated
DELETE FROM dept WHERE EXISTS (SELECT id FROM emp WHERE emp.dept = dept.id)
----
type 4
delete dept
  type 2 where-only
  where (subquery 3) :Boolean
    type 2
    from StartTables
    from tbl emp   corr  
    from EndTables
    from StartJoins
    from EndJoins
    from StartTree
    from EndTree
    node 0 raw=id id :AutoInc
    col id ftInteger 4 src=emp.id
    where (EQ emp.dept outer:id) :Boolean

## delete aggregate in where
DELETE FROM dept WHERE COUNT(*) > 1
----
ERROR Scope is invalid Line 1, Character 24. Token 'COUNT'. 

## delete syntax
DELETE dept
----
ERROR Delete statement syntax is incorrect Line 1, Character 1. Token 'DELETE'. 

## delete terminated
DELETE FROM dept x
----
ERROR Delete statement incorrectly terminated Line 1, Character 18. Token 'x'. 

## delete unknown table
DELETE FROM nope
----
ERROR Table not found - nope. 

## delete where stray
DELETE FROM dept WHERE id = 1 ORDER
----
ERROR Invalid token Line 1, Character 31. Token 'ORDER'. 
