-- Date and time functions with fixed inputs (no clock, no local zone).
.nullvalue NULL
select date('2004-02-30'), date('2004-02-30', '+0 days'), time('24:00'), datetime('24:00');
select datetime('12:30'), julianday('2000-01-01'), julianday('2000-01-01 12:00');
select datetime(0, 'unixepoch'), datetime('2000-01-01', 'unixepoch'), datetime(86400 * 365, 'unixepoch');
select date('2004-01-31', '+1 month'), date('2004-01-31', '+1.5 months'), date('2004-03-31', '-1 month');
select date('2004-02-29', '+1 year'), date('2003-12-31', '+1 day'), datetime('2004-01-01 23:30', '+45 minutes');
select datetime('2004-01-01 10:00:00', '-36 hours'), datetime('2004-01-01', '+90 seconds'), datetime('2004-01-01 10:00', '+01:30');
select date('2004-05-19', 'start of month'), date('2004-05-19', 'start of year'), datetime('2004-05-19 13:14:15', 'start of day');
select date('2004-05-16', 'weekday 0'), date('2004-05-19', 'weekday 0'), date('2004-05-19', 'weekday 3'), date('2004-05-19', 'weekday 7');
select time('12:00:59.9'), strftime('%S', '12:00:59.9'), strftime('%H:%M:%f', '12:00:59.9');
select datetime('2004-01-01 12:00+05:00'), datetime('2004-01-01 12:00 -01:30'), datetime('2004-01-01 12:00+15:00');
select strftime('%Y/%m/%d %j %W %w', '2004-03-01'), strftime('%s', '1970-01-02'), strftime('%J', '2000-01-01 12:00');
select strftime('100%%', '2004-01-01'), strftime('%Q', '2004-01-01'), strftime('abc%', '2004-01-01'), strftime('%Y');
select date(), date(null), date('bogus'), date('2004-13-01'), date('2004-01-01', 'bogus'), date('2004-01-01', '+1 fortnight');
select date(2453000.5), date('2004-01-01', 'start of month', '+1 month', '-1 day');
create table ev(name, at);
insert into ev values('a', '2004-01-15 08:00');
insert into ev values('b', '2004-02-20 17:45');
insert into ev values('c', '2003-12-31 23:59');
select name, date(at, '+1 day'), strftime('%m', at) from ev order by julianday(at);
select name from ev where at > '2004-01-01' order by name;
select count(*) from ev where julianday(at) - julianday('2004-01-01') between 0 and 60;
