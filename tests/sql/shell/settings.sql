-- Defaults, then every setting that .show reports.
.show
.mode line
.header on
.separator ,
.nullvalue NULL
.width 5 0 12
.show
.headers off
.mode col
.show
.mode html
.show
.mode insert
.show
.mode list
.separator 'a very long separator text'
.nullvalue "a very long null value text"
.show
.mode semi
.mode bogus
.show
