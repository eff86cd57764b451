-- ".e" alone exits (.echo needs an argument); nothing after it runs.
.echo 1
.e
create table never(a);
