-- .output sends results to a file and back; .read runs a file.
.output cmds.sql
.dump
.output stdout
.show
.output nosuchdir/x.sql
.show
.read cmds.sql
