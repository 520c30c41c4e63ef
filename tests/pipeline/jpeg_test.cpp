#include <gtest/gtest.h>

#include "encode_jpeg.h"
