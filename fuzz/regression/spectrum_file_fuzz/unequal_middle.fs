I3 3 folded "a" "b"
20 2 2 1 1 0 1 0 0
1 0 0 0 2 unfolded "b" "a"
9 1 1 1 1 2
1 0 0 0 0 10 1 0 1 1
