// The payload, and its index if any, that the build placed in this launcher's
// read-only data.
#include "payload/index.h"
#include "payload/payload.h"

extern "C" const unsigned char mordax_payload_data[];
extern "C" const uint64_t mordax_payload_size;
extern "C" const unsigned char mordax_index_data[];
extern "C" const uint64_t mordax_index_size;
extern "C" const unsigned char mordax_fast_start;

PayloadBytes embedded_payload() { return {mordax_payload_data, mordax_payload_size}; }

bool embedded_fast_start() { return mordax_fast_start != 0; }

IndexBytes embedded_index() {
  if (mordax_index_size == 0) return {nullptr, 0};
  return {mordax_index_data, mordax_index_size};
}
