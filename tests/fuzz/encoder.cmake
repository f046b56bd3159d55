# The program's input reading and coding on arbitrary image.y and PGM bytes.
blockwright_fuzz_target(encoder encoder.cpp bw_testsupport blockwright_input)
