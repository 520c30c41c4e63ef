// libspng's context, owned: shared by the PNG reader and writer.
#pragma once

#include <spng.h>

#include <memory>

namespace zel7 {

struct SpngDeleter {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using SpngContext = std::unique_ptr<spng_ctx, SpngDeleter>;

}  // namespace zel7
