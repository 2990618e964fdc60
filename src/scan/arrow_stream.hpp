// A scan exported as an Arrow C stream. The stream's callbacks may be called
// from any thread, without the Python interpreter lock: they only touch the
// scanner. Releasing the stream cancels the scan, stops its workers and
// closes its files.
#pragma once

#include <memory>

#include "scan/arrow_c_abi.hpp"
#include "scan/scanner.hpp"

namespace tarnwick {

// Fills `out` with a stream of the scanner's Arrow batches (its chunks must
// be ArrowBatch). The stream shares the scanner with the caller.
void export_arrow_stream(std::shared_ptr<Scanner> scanner, ArrowArrayStream* out);

}  // namespace tarnwick
