-- Result column names, aliases in WHERE/ORDER BY, join clause errors.
.headers on
create table t(a, b);
insert into t values(1, 2);
insert into t values(3, 4);
select a, b as bee, a+1, t.a,   a   *   2, "abc", rowid from t order by a;
select x.a, y.b from t x, t y where x.a = y.a order by 1;
select * from t x, t y where x.a = 1 and y.a = 3;
select * from (select a, a from t) order by 1;
select a as y from t where y > 1;
select a as y from t order by y desc;
select * from t natural join t using (a);
select * from t right join t using (a);
select * from t inner outer join t;
select * from t join t on t.a = t.a using (a);
select * from t join (select 1 as c) using (a);
select *;
select x.* from t;
