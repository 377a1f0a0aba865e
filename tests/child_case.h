// The sandboxed fixture and command-line helper, kept under this name for
// the test files that include it.
#include "sandboxed_case.h"
