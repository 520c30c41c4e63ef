#include <gtest/gtest.h>

#include "encode_tiff.h"
