// Linked into every test program: it runs in a home of its own from before
// its main on.
#include "tests/support/PrivateHome.h"

namespace {
[[maybe_unused]] const bool gEntered = (qmtest::PrivateHome::enter(), true);
}  // namespace
