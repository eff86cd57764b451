-- Aggregates, GROUP BY/HAVING, empty tables, DISTINCT.
.nullvalue NULL
create table e(x);
select count(*), count(x), sum(x), avg(x), min(x), max(x) from e;
select x, count(*) from e group by x;
select count(*) from e having count(*) > 0;
create table s(g, v, w text);
insert into s values('a', 1, '1');
insert into s values('a', 2, '10');
insert into s values('b', 10, '9');
insert into s values('b', null, null);
insert into s values('c', 5, '5');
insert into s values('a', 2, '2');
select count(*), count(v), sum(v), avg(v), min(v), max(v) from s;
select min(w), max(w) from s;
select g, count(*), sum(v), max(v) from s group by g order by g;
select g, sum(v) from s group by g having sum(v) > 4 order by g;
select g, count(*) from s group by g having count(v) < 3 order by 2 desc, g;
select g, avg(v) from s where v > 1 group by g order by g;
select sum(v) * 2, count(*) + 1 from s;
select g from s group by g order by count(*) desc, g limit 1;
select distinct g from s order by g;
select distinct g, v from s order by g, v;
select count(distinct g) from s;
select g, count(*) from s group by 1 order by 1;
select g from s group by 3;
select g from s where count(*) > 1;
select count(max(v)) from s;
select max() from s;
