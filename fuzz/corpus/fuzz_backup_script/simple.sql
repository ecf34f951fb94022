create table t (a text, b int);
insert into t values ('x;y', 1);
