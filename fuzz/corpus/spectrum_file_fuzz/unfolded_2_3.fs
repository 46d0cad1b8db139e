# made by qualfst
3 4 unfolded "a" "b"
50 1 0.5 0.1 2 0.3 0.2 0.1 0.1 0.2 0.3 1
1 0 0 0 0 0 0 0 0 0 0 1
