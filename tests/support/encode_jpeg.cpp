#include "encode_jpeg.h"
