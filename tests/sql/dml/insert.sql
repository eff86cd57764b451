-- INSERT: INTEGER PRIMARY KEY row numbers, defaults, column lists, counts.
create table t(id integer primary key, a default 'x', b);
insert into t values(null, 1, 2);
insert into t(b) values(3);
insert into t(id, a) values(10, 'ten');
insert into t values(null, 'after', 'ten');
insert into t(a, b) values(5, 6);
select * from t order by id;
select rowid, id, oid, _rowid_ from t where id = 10;
insert into t values(1, 2);
insert into t(a, c) values(1, 2);
insert into t(a, b) values(1);
insert into t values('abc', 1, 2);
insert into t values(1, 'dup', 'dup');
create table u(x, y);
insert into u select a, b from t where id < 11;
insert into u select * from u;
select count(*) from u;
select x, y from u order by x, y;
