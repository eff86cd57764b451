-- Transactions around schema changes: nesting errors, commit, rollback.
begin;
begin;
commit;
commit;
rollback;
begin transaction;
create table a(x);
end;
create table a(y);
begin; drop table a; rollback;
create table a(z);
create index ia on a(x);
create unique index ib on a(x, x);
drop table a;
create table a(q);
create table b(c, d, primary key(c, e));
create table c(x, x);
