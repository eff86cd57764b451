-- Joins: inner, comma, LEFT JOIN with NULL rows, USING, NATURAL, ambiguity.
.nullvalue NULL
create table emp(id integer primary key, name, dept);
create table dept(dept, title);
insert into emp values(1, 'ann', 10);
insert into emp values(2, 'bob', 20);
insert into emp values(3, 'cid', 30);
insert into emp values(4, 'dee', 10);
insert into dept values(10, 'sales');
insert into dept values(20, 'ops');
insert into dept values(40, 'legal');
select name, title from emp, dept where emp.dept = dept.dept order by name;
select e.name, d.title from emp e join dept d on e.dept = d.dept where d.title = 'sales' order by 1;
select name, title from emp left join dept on emp.dept = dept.dept order by name;
select name, title from emp left outer join dept using (dept) order by name;
select name, title from emp natural join dept order by name;
select title, name from dept left join emp on emp.dept = dept.dept order by title, name;
select title from dept left join emp on emp.dept = dept.dept where emp.id is null;
select count(*) from emp, dept;
select a.name, b.name from emp a, emp b where a.dept = b.dept and a.id < b.id;
create index ed on emp(dept);
select name, title from dept, emp where emp.dept = dept.dept order by name;
select dept from emp, dept;
select emp.rowid, dept.title from emp, dept where emp.dept = dept.dept and emp.id = 2;
select rowid from emp, dept;
select x.name from emp;
