#include <gtest/gtest.h>

#include "encode_png.h"
