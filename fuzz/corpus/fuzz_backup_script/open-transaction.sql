create table t (a);
begin;
insert into t values (1);
