// Base64 (RFC 4648 alphabet, "=" padding, no line breaks) as the front end speaks it: the encoded
// bytes are Windows-1252 text, so names and free texts round-trip byte for byte with it.
//
// Thread safety: every function is pure and may be called from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace parlevo {

size_t Base64EncodedLength(size_t byte_count);
// 0 for a text whose length is 0 or not a multiple of 4.
size_t Base64DecodedLength(std::string_view text);

// Plain byte conversions. Invalid input never raises: decoding it yields the empty text.
std::string Base64EncodeBytes(std::string_view bytes);
std::string Base64DecodeBytes(std::string_view text);

// UTF-8 text in and out: encoding writes the text as Windows-1252 bytes (characters outside that
// code page become "?"), decoding reads the bytes as Windows-1252.
std::string Base64Encode(std::string_view text);
std::string Base64Decode(std::string_view text);

}  // namespace parlevo
