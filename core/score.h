// The score of one dimension.
#pragma once

namespace vorn_core {

// The engine's scores run from 0 to 100, higher is better; the type itself
// enforces no range, and the report writes a non-finite value as null.
struct Score {
  float value = 0.0f;
};

}  // namespace vorn_core
