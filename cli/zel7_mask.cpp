// zel7-mask: writes the masks of pictures from the command line. The options, the plan
// of a batch and every rule are the library's; this reads the command line, runs the
// jobs on threads and reports.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "batch_files.h"
#include "command_line.h"
#include "engine/batch_plan.h"
#include "engine/options.h"
#include "reporter.h"
#include "system/system.h"

namespace {

using zel7::cli::CommandLine;
using zel7::cli::Reporter;

// Runs the jobs on up to `workers` threads, each with its own slice buffer.
void RunJobs(const std::vector<zel7::BatchJob>& jobs, const CommandLine& line, unsigned workers,
             Reporter& reporter) {
    // One picture alone gets a second thread for writing, when there is a core for it.
    const zel7::SliceWriting writing = jobs.size() == 1 && zel7::UsableProcessors() > 1
                                           ? zel7::SliceWriting::OnSecondThread
                                           : zel7::SliceWriting::Inline;
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        std::vector<uint8_t> buffer;
        for (std::size_t i = next++; i < jobs.size(); i = next++) {
            const zel7::BatchJob& job = jobs[i];
            zel7::MaskOptions options = line.settings.ForFile(job.format);
            if (line.settings.skipExisting &&
                zel7::IsUpToDate(job.source, job.destination, options.inside)) {
                reporter.Skipped(job.source, job.destination);
                continue;
            }
            options.writing = writing;
            zel7::MaskNote note;
            const auto start = std::chrono::steady_clock::now();
            const zel7::Result result =
                zel7::MaskFile(job.source, job.destination, options, buffer, &note);
            const double milliseconds =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
            if (!result.Ok()) {
                reporter.Failed(job.source, job.destination,
                                result.ConcernsDestination() ? job.destination : job.source,
                                zel7::Describe(result), milliseconds);
            } else {
                reporter.Written(job.source, job.destination, milliseconds, note.Remark(),
                                 note.confidence);
            }
        }
    };
    workers = std::clamp<unsigned>(workers, 1, unsigned(std::max<std::size_t>(jobs.size(), 1)));
    std::vector<std::jthread> threads;
    for (unsigned i = 1; i < workers; ++i) {
        threads.emplace_back(work);
    }
    work();
}

constexpr const char* kClosedStream = "a standard stream the caller closed";

// A message about a file that stops the run before any work.
int Stop(const std::string& file, const std::string& reason) {
    std::fprintf(stderr, "zel7-mask: %s: %s\n", zel7::cli::QuoteForTerminal(file).c_str(),
                 reason.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    zel7::OpenStandardStreams();
    CommandLine line;
    if (std::optional<int> status = zel7::cli::ParseCommandLine(argc, argv, line)) {
        return *status;
    }
    const zel7::MaskSettings& settings = line.settings;
    // A missing or unwritable folder is said once, before any work.
    if (!settings.outDir.empty()) {
        if (int error = zel7::CheckWritableFolder(settings.outDir)) {
            return Stop(settings.outDir, std::string("the masks' folder: ") + std::strerror(error));
        }
    }
    for (const std::string& list : line.lists) {
        if (zel7::NamesClosedStream(list)) {
            return Stop(list, kClosedStream);
        }
        if (auto refused = zel7::cli::ReadSourceList(list, line.listSeparator, line.operands)) {
            return Stop(list, *refused);
        }
    }
    zel7::BatchPlan plan;
    if (line.Batch()) {
        plan = zel7::PlanBatch(line.operands, settings.Naming(), settings.shard, line.lists);
    } else {
        zel7::BatchJob single;
        if (zel7::Result planned = zel7::PlanOne(settings, line.operands[0], line.operands[1],
                                                 zel7::Spelling::CommandLine, single);
            !planned.Ok()) {
            return zel7::cli::UsageError(planned.detail);
        }
        plan.jobs.push_back(single);
        plan.written.push_back(single.destination);
    }
    // Nothing the batch reads or writes, whichever shard of it runs, may be the report.
    zel7::cli::JsonReport report;
    if (!line.reportPath.empty()) {
        // One picture's DEST is written, not read: said as the mask that would replace it.
        std::vector<std::string> reads = line.operands;
        if (!line.Batch()) {
            reads.pop_back();
        }
        reads.insert(reads.end(), line.lists.begin(), line.lists.end());
        if (zel7::NamesClosedStream(line.reportPath)) {
            return Stop(line.reportPath, kClosedStream);
        }
        if (auto problem = zel7::ReportProblem(line.reportPath, reads, plan.written)) {
            return zel7::cli::UsageError(*problem);
        }
        if (int error = report.Open(line.reportPath, settings.skipExisting)) {
            return Stop(line.reportPath, std::strerror(error));
        }
    }
    Reporter reporter(plan.jobs.size() + plan.refusals.size(), report);
    for (const zel7::BatchRefusal& refusal : plan.refusals) {
        if (refusal.repeat) {
            reporter.Skipped(refusal.source, refusal.destination, refusal.reason);
        } else {
            reporter.Failed(refusal.source, refusal.destination, refusal.source, refusal.reason);
        }
    }
    zel7::CleanUpOnFatalSignals();
    const uint64_t perPicture = zel7::PictureMemoryBound(settings.framing, settings.maxPixels);
    RunJobs(plan.jobs, line,
            std::min(zel7::BoundedJobs(line.jobs, perPicture), zel7::cli::kMaxJobs), reporter);
    reporter.Finish();
    if (int error = report.Close()) {
        return Stop(line.reportPath, std::strerror(error));
    }
    return reporter.AllWritten() ? 0 : 1;
}
