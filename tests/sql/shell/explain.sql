-- .explain saves the settings once and restores them.
.mode html
.width 7 8
.explain
.show
.explain on
.mode line
.show
.explain off
.show
.explain off
.show
.explain yes
.show
.explain 0
.show
