// How a batch that keeps its sources' tree names their masks: below the folder they all
// lie in, or the one named, whichever shard plans it. Planning reads no file: these
// sources need not exist.
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

TEST(KeptTree, MasksKeepTheirPathBelowTheBase) {
    const std::tuple<const char*, Strings, std::string, Planned> cases[] = {
        {"common folder",
         {"a/s1/m.jpg", "a/s2/m.jpg", "a/s2/d/x.bmp"},
         "",
         {{"a/s1/m.jpg", "out/s1/m.png"},
          {"a/s2/m.jpg", "out/s2/m.png"},
          {"a/s2/d/x.bmp", "out/s2/d/x.bmp"}}},
        {"one source", {"a/s1/m.jpg"}, "", {{"a/s1/m.jpg", "out/m.png"}}},
        {"apart",
         {"a/s1/m.jpg", "./b//m.jpg"},
         "",
         {{"a/s1/m.jpg", "out/a/s1/m.png"}, {"./b//m.jpg", "out/b/m.png"}}},
        {"climbing out",
         {"a/s1/m.jpg", "a/../../m.jpg"},
         "a",
         {{"a/s1/m.jpg", "out/s1/m.png"}, {"a/../../m.jpg", "refused: lies outside t"}}},
        {"outside the base",
         {"a/s1/m.jpg", "b/m.jpg", "a/s1/../m.jpg", "a/s1"},
         "a/s1/",
         {{"a/s1/m.jpg", "out/m.png"},
          {"b/m.jpg", "refused: lies outside t"},
          {"a/s1/../m.jpg", "refused: lies outside t"},
          {"a/s1", "refused: lies outside t"}}},
        {"duplicates",
         {"a/s1/m.jpg", "a/./s1/m.jpg", "a/s1/m.png", "a/.."},
         "",
         {{"a/s1/m.jpg", "out/m.png"},
          {"a/./s1/m.jpg", "refused: another source"},
          {"a/s1/m.png", "refused: another source"},
          {"a/..", "refused: names no file "}}},
    };
    for (const auto& [name, sources, base, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Plan(sources, base), expected);
    }
}

// The base is the whole list's: each shard plans its share as the whole batch would.
TEST(KeptTree, ShardsAgreeOnThePlan) {
    Strings sources = {"top/only.jpg"};
    for (int i = 0; i < 60; ++i) {
        sources.push_back("top/sku" + std::to_string(i) + "/main.jpg");
    }
    const Planned whole = Plan(sources, "");
    EXPECT_EQ(whole.at("top/sku7/main.jpg"), "out/sku7/main.png");
    for (const uint32_t count : {2u, 3u, 7u}) {
        Planned joined;
        for (uint32_t index = 0; index < count; ++index) {
            const Planned share = Plan(sources, "", Shard{index, count});
            EXPECT_LT(share.size(), sources.size());
            joined.insert(share.begin(), share.end());
        }
        EXPECT_EQ(joined, whole) << count << " shards";
    }
}

}  // namespace
}  // namespace zel7
