// A batch that keeps its sources' tree names their masks below the folder they all lie
// in, or below the base named, whichever shard plans it; a source outside the base and a
// second source for one mask are refused. Planning needs no file: these sources need not
// exist, but where a file that is there shares a mask's name with one that is not. (Making the
// folders, and refusing links on the way, is destination_test's.)
#include "engine/batch_plan.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

namespace zel7 {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
// Each source's mask, or "refused: " and the reason's first 14 characters.
using Planned = std::map<std::string, std::string>;

Planned Plan(const Strings& sources, const std::string& base, std::optional<Shard> shard = {},
             bool keepTree = true, const std::string& out = "out") {
    const BatchNaming naming{out, "", std::nullopt, false, keepTree, base};
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

// Which source keeps a mask's name is the same in every order of the list, as shards
// list their files in any order: no file is masked over another's mask.
TEST(KeptTree, SharedNamesAreSettledAlikeInEveryOrder) {
    const fs::path folder = fs::temp_directory_path() / ("zel7-plan-" + std::to_string(getpid()));
    for (const char* file : {"b/p.jpg", "c/q.jpg", "k/a.jpg", "k/a.png/x.jpg", "k/r.jpg"}) {
        fs::create_directories((folder / file).parent_path());
        std::ofstream(folder / file) << "a picture";
    }
    fs::create_directories(folder / "out");
    fs::create_symlink("q.png", folder / "out" / "p.png");  // where p's mask would go
    const auto at = [&](const char* name) { return (folder / name).string(); };
    const std::string out = at("out");
    const struct {
        bool keepTree;
        std::string out;
        Strings sources;
        Planned planned;
    } cases[] = {
        // two files, one mask: neither
        {false,
         "out",
         {"t/x/p.jpg", "t/y/p.png"},
         {{"t/x/p.jpg", "refused: another source"}, {"t/y/p.png", "refused: another source"}}},
        // one file named twice: the first name in byte order
        {false,
         "out",
         {"t/x/p.jpg", "t/y/../x/p.jpg", "t/./x/p.jpg"},
         {{"t/./x/p.jpg", "out/p.png"},
          {"t/x/p.jpg", "refused: another source"},
          {"t/y/../x/p.jpg", "refused: another source"}}},
        // a file that is not there takes no name from one that is, and is refused for that
        {false,
         "out",
         {at("a/p.jpg"), at("b/p.jpg")},
         {{at("b/p.jpg"), "out/p.png"}, {at("a/p.jpg"), "refused: cannot open fi"}}},
        // a link at one mask's name to the other's
        {false,
         out,
         {at("b/p.jpg"), at("c/q.jpg")},
         {{at("b/p.jpg"), "refused: another source"}, {at("c/q.jpg"), "refused: another source"}}},
        // a mask named as a folder of other masks, of a file there or not; listed twice,
        // refused twice
        {true,
         "out",
         {at("k/a.jpg"), at("k/a.png/x.jpg")},
         {{at("k/a.jpg"), "refused: its mask out/a"}, {at("k/a.png/x.jpg"), "out/a.png/x.png"}}},
        {true,
         "out",
         {at("k/a.jpg"), at("k/./a.jpg"), at("k/a.png/x.jpg")},
         {{at("k/a.jpg"), "refused: its mask out/a"},
          {at("k/./a.jpg"), "refused: its mask out/a"},
          {at("k/a.png/x.jpg"), "out/a.png/x.png"}}},
        {true,
         "out",
         {at("k/r.jpg"), at("k/r.png/t.jpg")},
         {{at("k/r.jpg"), "out/r.png"}, {at("k/r.png/t.jpg"), "out/r.png/t.png"}}},
    };
    for (const auto& [keepTree, outDir, sources, planned] : cases) {
        Strings order = sources;
        std::sort(order.begin(), order.end());
        do {
            SCOPED_TRACE(order.front());
            EXPECT_EQ(Plan(order, "", std::nullopt, keepTree, outDir), planned);
        } while (std::next_permutation(order.begin(), order.end()));
    }
    // One name listed twice is masked once, as first listed, the repeat lost nothing; a
    // mask over the list of sources is refused.
    std::ofstream(folder / "out" / "list.png") << "k/r.jpg";
    const BatchPlan plan =
        PlanBatch({at("k/r.jpg"), at("k/r.jpg"), at("k/list.jpg")},
                  {out, "", std::nullopt, false, false, ""}, std::nullopt, {at("out/list.png")});
    ASSERT_EQ(plan.jobs.size(), 1u);
    ASSERT_EQ(plan.refusals.size(), 2u);
    EXPECT_EQ(plan.refusals[0].index, 1u);
    EXPECT_EQ(plan.refusals[0].reason, "listed twice: its first listing stands for it");
    EXPECT_TRUE(plan.refusals[0].repeat);
    EXPECT_FALSE(plan.refusals[1].repeat);
    EXPECT_EQ(plan.refusals[1].reason, "its mask " + at("out/list.png") +
                                           " would replace a list of the sources; choose another "
                                           "--out-dir or a --suffix");
    // A report named through a link's "..", which leaves the link's target.
    fs::create_directories(folder / "real" / "sub");
    fs::create_symlink(folder / "real" / "sub", folder / "L");
    EXPECT_NE(ReportProblem(at("real/q-m.png"), {}, {at("L/../q-m.png")}), std::nullopt);
    fs::remove_all(folder);
}

// A batch of one processor's task (taskset, a Slurm job's affinity) masks one picture at a
// time, whatever the machine has.
TEST(Batch, JobsFollowTheProcessorsTheProcessMayUse) {
    cpu_set_t all, one;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE && CPU_COUNT(&one) == 0; ++cpu) {
        if (CPU_ISSET(cpu, &all)) {
            CPU_SET(cpu, &one);
        }
    }
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    const unsigned jobs = BoundedJobs(0);
    ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
    EXPECT_EQ(jobs, 1u);
}

// As many jobs as memory holds, each picture at its bound: a framed one also holds its
// cut-out and its frame, up to the pixel limit, where flattening alone streams.
TEST(Batch, JobsAreAsManyAsMemoryHolds) {
    constexpr uint64_t kGiB = uint64_t{1} << 30;
    FramingOptions trimmed, flattened;
    trimmed.trim = true;
    flattened.flatten = FrameColour{};
    const struct {
        FramingOptions framing;
        uint64_t maxPixels, memory;
        unsigned asked, jobs;
    } cases[] = {
        {{}, kDefaultMaxPixels, 24 * kGiB, 256, 42},
        {flattened, kDefaultMaxPixels, 24 * kGiB, 256, 42},
        {trimmed, kDefaultMaxPixels, 24 * kGiB, 256, 9},
        {trimmed, 20'000'000, 24 * kGiB, 256, 14},
        {trimmed, kDefaultMaxPixels, 2 * kGiB, 256, 1},
        {trimmed, kDefaultMaxPixels, 256 * kGiB, 3, 3},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BoundedJobs(c.asked, PictureMemoryBound(c.framing, c.maxPixels), c.memory),
                  c.jobs)
            << c.maxPixels << " pixels, " << c.memory / kGiB << " GiB";
    }
}

}  // namespace
}  // namespace zel7
