#include "encode_tiff.h"
