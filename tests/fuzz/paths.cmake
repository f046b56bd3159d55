# Differential target: every transform path and the bitmap block coder
# against the reference on arbitrary blocks.
blockwright_fuzz_target(paths paths_fuzz.cpp blockwright_core)
