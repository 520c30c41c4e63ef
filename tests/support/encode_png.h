// Writing PNG files for the tests, with the library the program reads them with.
#pragma once

#include "test_pictures.h"

namespace zel7::testing {}  // namespace zel7::testing
