-- Comment-only lines are skipped while nothing is pending.
   
/* a block comment */
-- a line comment
create table t1(
  a,
  b
)
go
create table t2(x)
  /  -- a slash alone ends it too
create table t3(y)
GO /* any case */
create table t1(z);
create table t4(y)
create table t5(y);
create table t6(
  'a;b' -- a semicolon inside quotes does not end it;
);
create table t6(q);
create table t7(a)
