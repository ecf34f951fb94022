create table t (a);
insert into t values (1)
;
-- c; 
/* ; */ insert into t values (2);
