#include "encode_png.h"
