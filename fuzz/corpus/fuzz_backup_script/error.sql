create table;
