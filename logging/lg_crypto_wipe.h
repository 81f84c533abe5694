// Overwriting of key material, vectors and plain-text remnants before their memory is released,
// so that secrets do not linger in freed heap blocks or swapped pages.
//
// Thread safety: the functions touch only the memory they are given.
#pragma once

#include <cstddef>
#include <string>

namespace parlevo::logging {

// Overwrites the bytes four times, with 0xFF, 0xAA, 0x55 and finally 0x00. The writes are
// volatile so that the compiler cannot drop them as dead stores.
void LgWipe(void* data, size_t size);

// Wipes the characters of the string (its whole capacity), then empties it.
void LgWipe(std::string& text);

}  // namespace parlevo::logging
