// The case macros of the shared test sources, on the host: GoogleTest's own,
// and bit-exact float comparison against the shared tables.
#pragma once

#include <gtest/gtest.h>

#include "vector_check.h"
