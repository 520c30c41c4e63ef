// A batch that keeps its sources' tree names their masks below the folder they all lie
// in, or below the base named, whichever shard plans it; a source outside the base and a
// second source for one mask are refused. Planning reads no file: these sources need not
// exist. (Making the folders, and refusing links on the way, is destination_test's.)
#include "engine/batch_plan.h"

#include <gtest/gtest.h>

#include <map>

namespace zel7 {
namespace {

using Strings = std::vector<std::string>;
// Each source's mask, or "refused: " and the reason's first 14 characters.
using Planned = std::map<std::string, std::string>;

Planned Plan(const Strings& sources, const std::string& base, std::optional<Shard> shard = {}) {
    const BatchNaming naming{"out", "", std::nullopt, false, true, base};
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

TEST(KeptTree, ShardsAgreeOnThePlan) {
    Strings sources = {"top/only.jpg", "top/sku1/../only.jpg", "-", "top/sku1/.."};
    for (int i = 0; i < 60; ++i) {
        sources.push_back("top/sku" + std::to_string(i) + "/main.jpg");
    }
    const struct {
        std::string base;
        Planned some;  // of the whole list's plan
    } cases[] = {
        {"",
         {{"top/sku7/main.jpg", "out/sku7/main.png"},
          {"top/only.jpg", "out/only.png"},
          {"top/sku1/../only.jpg", "refused: another source"},
          {"-", "refused: names no file "},
          {"top/sku1/..", "refused: names no file "}}},
        {"top/only.jpg", {{"top/only.jpg", "refused: lies outside t"}}},  // the base itself
        {"top/sku7",
         {{"top/sku7/main.jpg", "out/main.png"},
          {"top/sku8/main.jpg", "refused: lies outside t"},
          {"top/only.jpg", "refused: lies outside t"}}},
        {".", {{"top/sku7/main.jpg", "out/top/sku7/main.png"}}},
    };
    for (const auto& [base, some] : cases) {
        SCOPED_TRACE("base " + base);
        const Planned whole = Plan(sources, base);
        for (const auto& [source, planned] : some) {
            EXPECT_EQ(whole.at(source), planned) << source;
        }
        for (const uint32_t count : {2u, 3u, 7u}) {
            Planned joined;
            for (uint32_t index = 0; index < count; ++index) {
                const Planned share = Plan(sources, base, Shard{index, count});
                EXPECT_LT(share.size(), sources.size());
                joined.insert(share.begin(), share.end());
            }
            EXPECT_EQ(joined, whole) << count << " shards";
        }
    }
}

}  // namespace
}  // namespace zel7
