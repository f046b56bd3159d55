// The join: the calling thread appends the coded chunks to the stream in
// order, copying those that start on a byte boundary and shifting the
// others by the bits the stream holds pending.
#pragma once

#include "chunks.hpp"

struct Encoder;

// Appends a coded chunk to the encoder's stream, as if the encoder had coded
// it: BW_OK, or BW_E_CALLBACK when the write callback refuses the bytes.
int join(Encoder& e, const Slot& slot);
