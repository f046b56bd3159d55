# The driver's input reading and coding on arbitrary image.y bytes.
blockwright_fuzz_target(encoder encoder.cpp bw_testsupport blockwright_core)
