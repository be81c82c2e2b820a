#ifndef TOKENS_H
#define TOKENS_H

#include "protocol.h"

// Console tokens that children write on their standard output, one per line, flushed at once.
// They are defined once for both programs.
namespace Tokens = Protocol::Token;

#endif
