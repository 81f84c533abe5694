#include "logging/lg_crypto_wipe.h"

namespace parlevo::logging {

void LgWipe(void* data, size_t size) {
  if (data == nullptr) return;
  volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
  for (unsigned char pattern : {0xFF, 0xAA, 0x55, 0x00}) {
    for (size_t i = 0; i < size; ++i) p[i] = pattern;
  }
}

void LgWipe(std::string& text) {
  // Wipe the whole capacity: a shorter string may still hold the tail of an earlier secret.
  text.resize(text.capacity());
  LgWipe(text.data(), text.size());
  text.clear();
}

}  // namespace parlevo::logging
