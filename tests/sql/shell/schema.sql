-- .tables, .schema, .indices and .dump over a populated database.
create table people(id integer primary key, name text not null, age);
create table pets(owner, kind);
create index pets_owner on pets(owner);
create unique index people_name on people(name);
create view adults as select name from people where age >= 18;
insert into people values(1, 'ann', 34);
insert into people values(2, 'it''s me', null);
insert into pets values(1, 'cat');
.tables
.tables pe
.tables zz
.indices pets
.indices people
.indices nosuch
.schema pets
.schema
.schema TARVIK_MASTER
.dump pets
.dump
select count(*) from people;
