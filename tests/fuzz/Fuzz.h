#pragma once

// What the fuzz targets share.

#include <cstdlib>

namespace fuzz {

// Ends the run, as a crash libFuzzer keeps the input of, when what must hold does not.
inline void Require(bool holds) {
  if (!holds) {
    std::abort();
  }
}

}  // namespace fuzz
