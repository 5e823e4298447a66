// Turns fuzz input into a sequence of reads: each read is either literal
// bytes or one byte repeated many times, so that lines around the 64 KiB
// bound come from small inputs.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <string>
#include <vector>

inline std::vector<std::string> consumeReads(FuzzedDataProvider& in, std::size_t maxRepeat) {
  std::vector<std::string> reads;
  while (in.remaining_bytes() > 0) {
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
      const char byte = in.ConsumeIntegral<char>();
      reads.emplace_back(in.ConsumeIntegralInRange<std::size_t>(0, maxRepeat), byte);
    } else {
      reads.push_back(in.ConsumeRandomLengthString(256));
    }
  }
  return reads;
}
