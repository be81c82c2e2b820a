// The zip writer lives in the shared test support; this path is kept for includes that name it.
#include "../support/testzip.h"
