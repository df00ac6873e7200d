// The public web root certificates that the HTTP client trusts, compiled in
// from data/roots.pem (PEM text). The system's certificate store is never used.
#pragma once

#include <cstddef>

extern const unsigned char BUILTIN_ROOTS_PEM[];
extern const std::size_t BUILTIN_ROOTS_PEM_SIZE;
