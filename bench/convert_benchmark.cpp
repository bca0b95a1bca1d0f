// In-process benchmark of a conversion without tar: reading both legacy rule
// files, checking and merging the rules and writing both new rule files, on
// generated legacy files with N system and N network flow rules. Throughput
// is given in bytes of legacy input per second for every stage, so that the
// stages compare directly with the whole.
#include "common.h"
#include "convertationToNew.h"
#include "main.h"

#include <benchmark/benchmark.h>
#include <boost/filesystem.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = boost::filesystem;

namespace {

// A temporary directory, removed with everything in it at exit. It lies on
// /dev/shm when there is one, a tmpfs like the work root of a conversion.
class TemporaryDirectory {
  public:
    TemporaryDirectory() {
        const std::string base =
            fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path().string();
        std::string pattern = base + "/mervex-bench.XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("can't make a temporary directory in " + base);
        }
        path_ = pattern;
    }
    ~TemporaryDirectory() {
        boost::system::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

TemporaryDirectory& scratch() {
    static TemporaryDirectory directory;
    return directory;
}

struct LegacyFiles {
    std::string systemRules;
    std::string networkFlowRules;
    int64_t bytes = 0;
};

// The legacy files for N rules of each kind, generated on first use: in the
// scratch directory, or in $MERVEX_BENCH_DATA, where they are kept for later
// runs (so that runs of several builds, side by side, read the same files).
const LegacyFiles& legacyFiles(int64_t count) {
    static std::map<int64_t, LegacyFiles> made;
    const auto found = made.find(count);
    if (found != made.end()) {
        return found->second;
    }
    const char* const kept = std::getenv("MERVEX_BENCH_DATA");
    const std::string directory =
        (kept != nullptr && *kept != '\0' ? std::string(kept) : scratch().path()) + "/legacy-" +
        std::to_string(count);
    const bool generated = fs::exists(directory + "/cfgNetworkFlowRule");
    const std::string command = std::string(MERVEX_PYTHON) + " " + shellQuote(MERVEX_GENERATOR) +
                                " " + std::to_string(count) + " --legacy-dir " +
                                shellQuote(directory) + " >/dev/null";
    if (!generated && std::system(command.c_str()) != 0) {
        throw std::runtime_error("generating the legacy files failed: " + command);
    }
    LegacyFiles files;
    files.systemRules = directory + "/cfgSystemRule";
    files.networkFlowRules = directory + "/cfgNetworkFlowRule";
    files.bytes = static_cast<int64_t>(fs::file_size(files.systemRules) +
                                       fs::file_size(files.networkFlowRules));
    return made.emplace(count, files).first->second;
}

struct Outputs {
    std::string rules = scratch().path() + "/cfgRule";
    std::string suricataRules = scratch().path() + "/cfg.rules";

    // Both writers append: every round starts without the files.
    void remove() const {
        ::unlink(rules.c_str());
        ::unlink(suricataRules.c_str());
    }
};

// Legacy input per second of CPU time: bytes_per_second (binary prefixes) and
// legacy_MB, in decimal megabytes per second.
void reportThroughput(benchmark::State& state, const LegacyFiles& files) {
    state.SetBytesProcessed(state.iterations() * files.bytes);
    state.counters["legacy_MB"] = benchmark::Counter(static_cast<double>(state.iterations()) *
                                                         static_cast<double>(files.bytes) / 1e6,
                                                     benchmark::Counter::kIsRate);
}

void read(const LegacyFiles& files, RuleText& text, std::vector<SystemRuleInfo>& systemRules,
          std::vector<NetworkFlowRuleInfo>& networkFlowRules) {
    if (!readFileSystemRules(systemRules, text, nullptr, files.systemRules) ||
        !readFileNetworkFlowRules(networkFlowRules, text, nullptr, files.networkFlowRules)) {
        throw std::runtime_error("reading the legacy files failed");
    }
}

void merge(std::vector<SystemRuleInfo> systemRules,
           std::vector<NetworkFlowRuleInfo> networkFlowRules, std::vector<RuleInfo>& rules) {
    if (!validateRules(systemRules, networkFlowRules)) {
        throw std::runtime_error("the legacy rules are not valid");
    }
    convertationRules(std::move(systemRules), std::move(networkFlowRules), rules);
}

void write(const std::vector<RuleInfo>& rules, const Outputs& outputs) {
    if (!writeToFileRules(rules, outputs.rules) ||
        !writeToSuricataFileRules(rules, outputs.suricataRules)) {
        throw std::runtime_error("writing the rule files failed");
    }
}

// Sends the conversion's report lines to /dev/null while it lives, so that
// they neither mix with the benchmark's own report nor wait for a terminal.
class ReportDiscarded {
  public:
    ReportDiscarded() : saved_(::dup(STDOUT_FILENO)) {
        std::fflush(stdout);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ < 0 || null < 0 || ::dup2(null, STDOUT_FILENO) < 0) {
            throw std::runtime_error("can't send the report to /dev/null");
        }
        ::close(null);
    }
    ~ReportDiscarded() {
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
    }
    ReportDiscarded(const ReportDiscarded&) = delete;
    ReportDiscarded& operator=(const ReportDiscarded&) = delete;

  private:
    int saved_;
};

// The whole conversion between the archives, through the function the
// driver runs, its report included.
void BM_ReadMergeWrite(benchmark::State& state) {
    const LegacyFiles& files = legacyFiles(state.range(0));
    const Outputs outputs;
    const ReportDiscarded discarded;
    for (auto _ : state) {
        state.PauseTiming();
        outputs.remove();
        state.ResumeTiming();
        if (!convertRuleFiles(files.systemRules, files.networkFlowRules, outputs.rules,
                              outputs.suricataRules)) {
            throw std::runtime_error("the conversion failed");
        }
    }
    outputs.remove();
    reportThroughput(state, files);
}

void BM_Read(benchmark::State& state) {
    const LegacyFiles& files = legacyFiles(state.range(0));
    for (auto _ : state) {
        RuleText text;
        std::vector<SystemRuleInfo> systemRules;
        std::vector<NetworkFlowRuleInfo> networkFlowRules;
        read(files, text, systemRules, networkFlowRules);
        benchmark::DoNotOptimize(systemRules.data());
        benchmark::DoNotOptimize(networkFlowRules.data());
    }
    reportThroughput(state, files);
}

void BM_Merge(benchmark::State& state) {
    const LegacyFiles& files = legacyFiles(state.range(0));
    RuleText text;
    std::vector<SystemRuleInfo> systemRules;
    std::vector<NetworkFlowRuleInfo> networkFlowRules;
    read(files, text, systemRules, networkFlowRules);
    for (auto _ : state) {
        // The driver hands its lists over; the copies are not timed.
        state.PauseTiming();
        auto systemCopy = systemRules;
        auto networkFlowCopy = networkFlowRules;
        state.ResumeTiming();
        std::vector<RuleInfo> rules;
        merge(std::move(systemCopy), std::move(networkFlowCopy), rules);
        benchmark::DoNotOptimize(rules.data());
    }
    reportThroughput(state, files);
}

void BM_Write(benchmark::State& state) {
    const LegacyFiles& files = legacyFiles(state.range(0));
    const Outputs outputs;
    RuleText text;
    std::vector<SystemRuleInfo> systemRules;
    std::vector<NetworkFlowRuleInfo> networkFlowRules;
    read(files, text, systemRules, networkFlowRules);
    std::vector<RuleInfo> rules;
    merge(std::move(systemRules), std::move(networkFlowRules), rules);
    for (auto _ : state) {
        state.PauseTiming();
        outputs.remove();
        state.ResumeTiming();
        write(rules, outputs);
    }
    outputs.remove();
    reportThroughput(state, files);
}

// CPU time is counted for the whole process: a conversion reads both legacy
// files, and writes both rule files, on two threads.
void ruleCounts(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgName("N")
        ->Arg(1000)
        ->Arg(10000)
        ->Arg(100000)
        ->Unit(benchmark::kMillisecond)
        ->MeasureProcessCPUTime();
}

BENCHMARK(BM_ReadMergeWrite)->Apply(ruleCounts);
BENCHMARK(BM_Read)->Apply(ruleCounts);
BENCHMARK(BM_Merge)->Apply(ruleCounts);
BENCHMARK(BM_Write)->Apply(ruleCounts);

} // namespace

BENCHMARK_MAIN();
