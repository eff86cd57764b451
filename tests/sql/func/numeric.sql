-- Arithmetic and numeric functions.
.nullvalue NULL
select 7 / 2, 7.0 / 2, -7 / 2, 7 % 3, -7 % 3, 7 % -3, 5 / 0, 5.5 / 0, 5 % 0;
select 2147483647 + 1, 1 + null, 3 * 4, 1.5 * 2, 10 - 2.5, 1e3 + 1;
select 6 & 3, 6 | 3, 1 << 4, -16 >> 2, 1 << 40, ~5, -(-3), +4;
select abs(-5), abs('-5'), abs('-x'), abs(3.5), abs(null), abs(-0.25);
select round(1.23456, 2), round(2.5), round(-1.5), round(1.23456, 40), round(1.7, -1), round(null), round(1, null);
select 1 < 2 and 2 < 3, 1 > 2 or 0, not 1, not null, null and 0, null or 1;
select case 2 when 1 then 'one' when 2 then 'two' else 'many' end, case when 0 then 'a' end, case null when null then 1 end;
select case when 1 > 2 then 'x' when 3 > 2 then 'y' end;
create table n(v);
insert into n values(1.5);
insert into n values(2.5);
insert into n values(-4);
select sum(v), avg(v), min(v), max(v), count(v) from n;
select v * 2, v + v, abs(v), round(v) from n order by v;
select sum(v) / count(*) from n;
select random() = random() or 1;
select last_insert_rowid();
