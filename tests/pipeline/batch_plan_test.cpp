// A batch that keeps its sources' tree names their masks below the folder they all lie
// in, whichever shard plans it (what each name becomes is zel7_mask_test's). Planning
// reads no file: these sources need not exist.
#include "engine/batch_plan.h"

#include <gtest/gtest.h>

#include <map>

namespace zel7 {
namespace {

using Strings = std::vector<std::string>;
// Each source's mask, or "refused: " and the reason's first 14 characters.
using Planned = std::map<std::string, std::string>;

Planned Plan(const Strings& sources, std::optional<Shard> shard = {}) {
    const BatchNaming naming{"out", "", std::nullopt, false, true, ""};
    const BatchPlan plan = PlanBatch(sources, naming, shard);
    Planned planned;
    for (const BatchJob& job : plan.jobs) {
        planned[job.source] = job.destination;
    }
    for (const BatchRefusal& refusal : plan.refusals) {
        planned[refusal.source] = "refused: " + refusal.reason.substr(0, 14);
    }
    return planned;
}

// The base is the whole list's: each shard plans its share as the whole batch would.
TEST(KeptTree, ShardsAgreeOnThePlan) {
    Strings sources = {"top/only.jpg", "top/sku1/../only.jpg"};
    for (int i = 0; i < 60; ++i) {
        sources.push_back("top/sku" + std::to_string(i) + "/main.jpg");
    }
    const Planned whole = Plan(sources);
    EXPECT_EQ(whole.at("top/sku7/main.jpg"), "out/sku7/main.png");
    EXPECT_EQ(whole.at("top/sku1/../only.jpg"), "refused: another source");
    for (const uint32_t count : {2u, 3u, 7u}) {
        Planned joined;
        for (uint32_t index = 0; index < count; ++index) {
            const Planned share = Plan(sources, Shard{index, count});
            EXPECT_LT(share.size(), sources.size());
            joined.insert(share.begin(), share.end());
        }
        EXPECT_EQ(joined, whole) << count << " shards";
    }
}

}  // namespace
}  // namespace zel7
