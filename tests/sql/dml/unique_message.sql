-- UNIQUE messages over long column lists end with three dots.
create table w(aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa, bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb, cccccccccccccccccccccccccccccccccccccccc, dddddddddddddddddddddddddddddddddddddddd, eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee, unique(aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa, bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb, cccccccccccccccccccccccccccccccccccccccc, dddddddddddddddddddddddddddddddddddddddd, eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee));
insert into w values(1, 1, 1, 1, 1);
insert into w values(1, 1, 1, 1, 1);
create table v(x, y);
create unique index vi on v(y, x);
insert into v values(1, 2);
insert into v values(1, 2);
insert into v values(2, 1);
select count(*) from w, v;
