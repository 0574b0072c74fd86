// The serialized fit: a 17-byte header ("VOREL", u32 format_version = 1, u64 payload_len, all
// little-endian) followed by a one-line JSON object holding every field of the record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "fit/record.h"
#include "util/error.h"

namespace vorel {

inline constexpr std::size_t kFrameHeaderBytes = 17;
inline constexpr std::uint32_t kFrameFormatVersion = 1;

// The whole frame: header + body. Floats are written in their shortest round-trip form, so
// write -> read -> write is byte-identical and every float reads back bit for bit.
Result<std::string> write_frame(const FittedGam& record);

// Decodes a frame from data[0, size). Bytes past 17 + payload_len are ignored. Never reads
// outside [data, data + size); every failure is InvalidParameter and its message begins
// "FittedGam::deserialize:". A decoded record is also checked for shapes the core relies on
// (beta against vcov, rho/lambda/edf_per_term, the predictor's width against beta), so a
// corrupted frame can never make later use of the record index out of bounds.
Result<FittedGam> read_frame(const std::uint8_t* data, std::size_t size);

}  // namespace vorel
