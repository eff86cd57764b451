-- Command-line splitting, prefixes, and the unknown-command message.
.h
.help extra
.output out.txt 
.nullvalue
.nullvalue a b
.separator
.read
.read nosuch.sql
.prompt
.zzz
.ti
.timeout 100
.d
.d t1
.   spaced
.ec on
create table t(a);
.echo off
create table u(b);
.w 1 2 3
.header "yes"
.sh
.q
create table never(a);
