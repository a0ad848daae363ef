// The payload that the build placed in this launcher's read-only data.
#include "payload/payload.h"

extern "C" const unsigned char mordax_payload_data[];
extern "C" const uint64_t mordax_payload_size;

PayloadBytes embedded_payload() { return {mordax_payload_data, mordax_payload_size}; }
