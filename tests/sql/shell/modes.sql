-- Output modes and headers over real rows.
create table t(id integer primary key, name, note);
insert into t values(1, 'ann', 'a<b & c');
insert into t values(2, 'bob''s', null);
insert into t values(3, 'a much longer name here', 12.5);
select * from t order by id;
.headers on
select * from t order by id;
.nullvalue -
.separator ,
select id, note from t order by id;
.mode column
select * from t order by id;
.width 2 5
select * from t order by id;
.headers off
select name from t where id = 1;
.width 0 0
.mode line
select * from t order by id;
select * from t where id = 99;
.mode html
select * from t where id < 3 order by id;
.headers on
select * from t where id = 1;
.mode insert
select * from t order by id;
.mode insert new_t
select name, note from t where id = 2;
.mode insert 'odd name'
select id from t where id = 1;
.mode list
.nullvalue ''
.separator |
select count(*), max(id) from t;
.headers off
select name from t order by name desc;
.mode bogus
.mode tabs
.mode lines
select 1 as a;
.mode columns
.headers on
select 1 as a;
