-- String functions over literals and rows.
.nullvalue NULL
select length('hello'), length('héllo'), length(''), length(null), length(12345);
select substr('hello', 2, 3), substr('hello', -3, 2), substr('hello', 0, 2), substr('hello', -7, 4), substr('hello', 4, 10), substr('hello', 9, 2);
select substr('héllo', 2, 2), substr(null, 1, 2);
select upper('abc Déf'), lower('ABC Déf'), upper(null);
select quote('it''s'), quote(null), quote(12), quote('12x'), quote(-3.5);
select coalesce(null, 2, 3), coalesce(null, null), ifnull(null, 'x'), ifnull('y', 'x');
select nullif(1, 1.0), nullif(1, null), nullif(null, 1), nullif('a', 'b');
select 'abc' || 'def', 'x' || null, 1 || 2;
select 'ABC' like 'abc', 'abc' like 'a_c', 'abc' like 'a%', 'abc' glob 'A*', 'abc' glob 'a?c', 'b' glob '[a-c]';
select like('a%', 'apple'), glob('*e', 'apple');
select typeof(1), typeof('a'), typeof(1 + 1), typeof('a' || 'b');
select min(3, 10), max(3, 10), min('3', '10'), max(1, null), min(5, 2, 8);
select tarvik_version();
create table t(s text, n);
insert into t values('Apple', 3);
insert into t values('banana', 10);
insert into t values(null, 2);
select upper(s), length(s), substr(s, 1, 3), quote(s) from t order by n;
select coalesce(s, 'none') from t order by n;
select min(s), max(s), min(n), max(n) from t;
select coalesce(1);
select substr('x', 1);
select nosuch(1);
