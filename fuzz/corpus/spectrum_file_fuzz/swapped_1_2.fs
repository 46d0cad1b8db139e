3 2 unfolded "b" "a"
9 1 1 1 1 2
1 0 0 0 0 1
